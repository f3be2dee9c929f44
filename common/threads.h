// The small thread layer both programs may use: plain functions over the system's own threads.
#pragma once

#include <cstdint>

struct ThreadHandle {
    void* native;
};

// Starts entry(argument) on a new thread with a small stack; false when the system refuses.
bool startThread(ThreadHandle* thread, void (*entry)(void*), void* argument);

void joinThread(ThreadHandle thread);

int32_t processorCount();

void sleepMilliseconds(int32_t milliseconds);
