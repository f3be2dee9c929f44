#include "common/threads.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cstdlib>

namespace {

// Workers need little stack; a small one keeps many threads within an address-space limit.
constexpr size_t kStackBytes = 1 << 20;

struct Start {
    void (*entry)(void*);
    void* argument;
};

}  // namespace

#ifdef _WIN32
static DWORD WINAPI trampoline(LPVOID raw)
{
    Start start = *static_cast<Start*>(raw);
    std::free(raw);
    start.entry(start.argument);
    return 0;
}
#else
static void* trampoline(void* raw)
{
    Start start = *static_cast<Start*>(raw);
    std::free(raw);
    start.entry(start.argument);
    return nullptr;
}
#endif

bool startThread(ThreadHandle* thread, void (*entry)(void*), void* argument)
{
    Start* start = static_cast<Start*>(std::malloc(sizeof(Start)));
    if (!start)
        return false;
    *start = {entry, argument};
#ifdef _WIN32
    HANDLE handle = CreateThread(nullptr, kStackBytes, trampoline, start, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!handle) {
        std::free(start);
        return false;
    }
    thread->native = handle;
#else
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    pthread_t id;
    const bool started = pthread_create(&id, &attributes, trampoline, start) == 0;
    pthread_attr_destroy(&attributes);
    if (!started) {
        std::free(start);
        return false;
    }
    static_assert(sizeof(pthread_t) <= sizeof(void*), "a thread id fits the handle");
    thread->native = reinterpret_cast<void*>(id);
#endif
    return true;
}

void joinThread(ThreadHandle thread)
{
#ifdef _WIN32
    WaitForSingleObject(static_cast<HANDLE>(thread.native), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread.native));
#else
    pthread_join(reinterpret_cast<pthread_t>(thread.native), nullptr);
#endif
}

int32_t processorCount()
{
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int32_t>(info.dwNumberOfProcessors);
#else
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<int32_t>(count) : 1;
#endif
}

void sleepMilliseconds(int32_t milliseconds)
{
#ifdef _WIN32
    Sleep(static_cast<DWORD>(milliseconds));
#else
    timespec pause = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
#endif
}
