// The file scan: the one place that reads files and runs threads. Chunks of the range are read
// whole (with margins) through one open file and searched by workers; the calling thread takes
// their results in file order, joins pictures across chunk edges and hands each find on as soon
// as no later chunk can change it. Memory stays within a budget whatever the file's size.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/raw_file.h"
#include "common/threads.h"
#include "find/chunk_search.h"
#include "find/find.h"
#include "find/find_kernels.h"
#include "find/headers.h"
#include "find/prune.h"
#include "find/tuning.h"

namespace {

constexpr int64_t kViewBytes = kChunkBytes + 2 * kMarginBytes;
// A worker's share of the budget: its view of the file and its search scratch.
constexpr int64_t kWorkerBytes = kViewBytes + kKernelPadding + (1 << 20);

struct Slot {
    std::atomic<bool> done;
    std::vector<Find> finds;
};

struct Scan {
    int fd;
    const FindOptions* options;
    int64_t from;
    int64_t to;
    int64_t chunks;
    std::atomic<int64_t> next;
    std::atomic<int64_t> consumed;
    std::atomic<int64_t> fileEnd;  // lowered when the file turns out shorter
    std::atomic<int64_t> doneBytes;
    std::atomic<bool> quit;
    std::atomic<int> failure;  // errno of a failed read, or 0
    const std::atomic<bool>* stop;
    std::vector<Slot> ring;
};

void lowerFileEnd(Scan* scan, int64_t end)
{
    int64_t seen = scan->fileEnd.load();
    while (end < seen && !scan->fileEnd.compare_exchange_weak(seen, end)) {
    }
}

// Reads and searches chunk k into its slot.
void processChunk(Scan* scan, int64_t k, uint8_t* view, ChunkScratch* scratch)
{
    Slot& slot = scan->ring[static_cast<size_t>(k) % scan->ring.size()];
    const int64_t lo = scan->from + chunkStart(scan->to - scan->from, k);
    const int64_t hi = scan->from + chunkStart(scan->to - scan->from, k + 1);
    const int64_t v0 = std::max(scan->from, lo - kMarginBytes);
    const int64_t v1 = std::min(scan->to, hi + kMarginBytes);
    slot.finds.clear();
    if (lo < scan->fileEnd.load()) {
        const int64_t got = readAt(scan->fd, v0, view, static_cast<size_t>(v1 - v0));
        if (got < 0) {
            int none = 0;
            scan->failure.compare_exchange_strong(none, errno ? errno : EIO);
            scan->quit = true;
        } else {
            if (got < v1 - v0)
                lowerFileEnd(scan, v0 + got);
            if (lo - v0 < got)
                searchChunk(view, got, v0, lo - v0, std::min(hi, v0 + got) - v0, *scan->options, scratch, &slot.finds,
                            scan->stop);
        }
    }
    scan->doneBytes += hi - lo;
    slot.done.store(true, std::memory_order_release);
}

void worker(void* raw)
{
    Scan* scan = static_cast<Scan*>(raw);
    uint8_t* view = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(kViewBytes)));
    if (!view)
        return;
    ChunkScratch scratch;
    for (;;) {
        const int64_t k = scan->next.fetch_add(1);
        if (k >= scan->chunks)
            break;
        // Results wait in a ring of slots for the calling thread to take them in order.
        while (k >= scan->consumed.load() + static_cast<int64_t>(scan->ring.size()) && !scan->quit.load())
            sleepMilliseconds(1);
        if (scan->quit.load())
            break;
        processChunk(scan, k, view, &scratch);
    }
    std::free(view);
}

struct Emitter {
    const FindCallbacks* callbacks;
    const FindOptions* options;
    std::vector<Find> pending;
    bool refused;  // onFind said stop
    const Scan* scan;
    FindOrder order;
    std::vector<uint8_t> before;  // the bytes up to a find, where its header may be
};

int64_t fetchFromFile(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes)
{
    Emitter* e = static_cast<Emitter*>(user);
    *lo = std::max(*lo, e->scan->from);
    hi = std::min(hi, e->scan->to);
    if (hi <= *lo || hi - *lo > static_cast<int64_t>(e->before.size()))
        return 0;
    *bytes = e->before.data();
    return std::max<int64_t>(0, readAt(e->scan->fd, *lo, e->before.data(), static_cast<size_t>(hi - *lo)));
}

// Hands on, in order, the pending finds that end before `limit` (all of them when limit < 0).
void emitFinal(Emitter* e, int64_t limit)
{
    size_t taken = 0;
    while (taken < e->pending.size() && !(limit >= 0 && mayGrowPast(e->pending[taken], limit)))
        ++taken;
    std::vector<Find> final(e->pending.begin(), e->pending.begin() + static_cast<std::ptrdiff_t>(taken));
    e->pending.erase(e->pending.begin(), e->pending.begin() + static_cast<std::ptrdiff_t>(taken));
    settleAndOrder(&final, fetchFromFile, e);
    for (const Find& f : final) {
        if (e->refused)
            break;
        if (wanted(f, *e->options) && keepInOrder(&e->order, f) && !e->callbacks->onFind(e->callbacks->user, f))
            e->refused = true;
    }
}

bool stopAsked(const Scan& scan)
{
    return scan.stop && scan.stop->load();
}

// Takes finished chunks in order until all are taken or the scan ends early.
void collect(Scan* scan, Emitter* e, int32_t workers, int64_t total)
{
    ChunkScratch scratch;
    uint8_t* view = nullptr;
    int32_t tick = 0;
    for (int64_t k = 0; k < scan->chunks;) {
        Slot& slot = scan->ring[static_cast<size_t>(k) % scan->ring.size()];
        if (workers == 0 && !slot.done.load()) {
            // No thread could be had: the calling thread does the work itself.
            if (!view && !(view = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(kViewBytes))))) {
                scan->failure = ENOMEM;
                break;
            }
            processChunk(scan, k, view, &scratch);
        }
        if (slot.done.load(std::memory_order_acquire)) {
            e->pending.insert(e->pending.end(), slot.finds.begin(), slot.finds.end());
            slot.finds.clear();
            slot.done = false;
            scan->consumed = ++k;
            mergeFinds(&e->pending);
            const int64_t nextView = scan->from + chunkStart(scan->to - scan->from, k) - kMarginBytes;
            if (k < scan->chunks)
                emitFinal(e, std::max(scan->from, nextView));
        } else {
            sleepMilliseconds(2);
        }
        if (e->refused || stopAsked(*scan) || scan->quit.load())
            break;
        if (e->callbacks->onProgress && ++tick % 16 == 0)
            e->callbacks->onProgress(e->callbacks->user, scan->doneBytes.load(), total);
    }
    std::free(view);
    scan->quit = true;
}

}  // namespace

int32_t threadLimit(const FindOptions&)
{
    return static_cast<int32_t>(std::max<int64_t>(1, kMemoryBudget / kWorkerBytes));
}

bool findInFile(int fd, const FindOptions& options, const FindCallbacks& callbacks, ScanResult* result,
                char* error, size_t errorSize)
{
    *result = {0, 0, -1, 0, false};
    if (!checkFindOptions(options, error, errorSize))
        return false;
    const int64_t size = fileLength(fd);
    if (size < 0) {
        std::snprintf(error, errorSize, "%s", std::strerror(errno));
        return false;
    }
    result->size = size;
    int32_t threads = options.threads > 0 ? options.threads : processorCount();
    threads = std::clamp(threads, 1, threadLimit(options));

    Scan scan;
    scan.fd = fd;
    scan.options = &options;
    scan.from = std::min(options.from, size);
    scan.to = options.to < 0 ? size : std::min(options.to, size);
    scan.chunks = chunkCount(scan.to - scan.from);
    scan.next = 0;
    scan.consumed = 0;
    scan.fileEnd = scan.to;
    scan.doneBytes = 0;
    scan.quit = false;
    scan.failure = 0;
    scan.stop = callbacks.stop;
    scan.ring = std::vector<Slot>(static_cast<size_t>(2 * threads + 2));
    for (Slot& slot : scan.ring)
        slot.done = false;

    std::vector<ThreadHandle> pool;
    for (int32_t t = 0; t < threads && t < scan.chunks; ++t) {
        ThreadHandle handle;
        if (startThread(&handle, worker, &scan))
            pool.push_back(handle);
    }
    Emitter emitter = {&callbacks, &options, {}, false, &scan, {},
                       std::vector<uint8_t>(static_cast<size_t>(kFetchBytes))};
    const int64_t total = scan.to - scan.from;
    collect(&scan, &emitter, static_cast<int32_t>(pool.size()), total);
    for (ThreadHandle handle : pool)
        joinThread(handle);
    result->threads = std::max<int32_t>(1, static_cast<int32_t>(pool.size()));
    if (scan.failure.load() != 0) {
        std::snprintf(error, errorSize, "%s", std::strerror(scan.failure.load()));
        return false;
    }
    result->stopped = emitter.refused || stopAsked(scan);
    // Finds already made stay, also when the scan was stopped.
    mergeFinds(&emitter.pending);
    emitFinal(&emitter, -1);
    result->stopped = result->stopped || emitter.refused;
    const int64_t end = scan.fileEnd.load();
    if (end < scan.to)
        result->shrunkTo = end;
    result->scanned = result->stopped ? std::min(scan.doneBytes.load(), end - scan.from) : end - scan.from;
    if (callbacks.onProgress)
        callbacks.onProgress(callbacks.user, total, total);
    return true;
}
