// The file scan: the one place that reads files and runs threads. Chunks of whole segments are
// read (with margins) through one open file and searched by workers; the calling thread takes
// their segments in file order through the find flow, which joins pictures across segment edges
// and hands each find on as soon as nothing later can change it. Memory stays within a budget
// whatever the file's size.
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

constexpr int64_t kSegment = kSegmentBytes;

int64_t viewBytes(const FindOptions& options)
{
    return (options.chunkBytes > 0 ? options.chunkBytes : kChunkBytes) + 2 * kMarginBytes;
}

// A worker's share of the budget: its view of the file and its search scratch.
int64_t workerBytes(const FindOptions& options)
{
    return viewBytes(options) + kKernelPadding + (1 << 20);
}

struct Slot {
    std::atomic<bool> done;
    std::vector<std::vector<Find>> pieces;  // a list a segment
    int64_t searched;                       // segments searched to their end (fewer when stopped)
    int64_t taken;                          // segments taken into the flow
};

struct Scan {
    int fd;
    const FindOptions* options;
    int64_t size;  // the file's length when the scan began
    int64_t from;
    int64_t to;
    int64_t first;          // the first segment searched, kLeadBytes before from
    int64_t chunkSegments;  // segments a chunk up to headEnd; one a chunk after it
    int64_t headEnd;
    int64_t chunks;  // to the file's end; the scan ends once its range is listed
    int64_t viewBytes;
    std::atomic<int64_t> next;
    std::atomic<int64_t> consumed;
    std::atomic<int64_t> allowed;  // chunks below this may be searched ahead of the collector
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

// The segments [*s0, *s1) of chunk k.
void chunkSegments(const Scan& scan, int64_t k, int64_t* s0, int64_t* s1)
{
    const int64_t head = (scan.headEnd - scan.first) / scan.chunkSegments;
    *s0 = k < head ? scan.first + k * scan.chunkSegments : scan.headEnd + (k - head);
    *s1 = k < head ? *s0 + scan.chunkSegments : *s0 + 1;
}

int64_t chunkOf(const Scan& scan, int64_t segment)
{
    const int64_t head = (scan.headEnd - scan.first) / scan.chunkSegments;
    return segment < scan.headEnd ? (segment - scan.first) / scan.chunkSegments : head + (segment - scan.headEnd);
}

// Reads and searches chunk k into its slot.
void processChunk(Scan* scan, int64_t k, uint8_t* view, ChunkScratch* scratch)
{
    Slot& slot = scan->ring[static_cast<size_t>(k) % scan->ring.size()];
    int64_t s0, s1;
    chunkSegments(*scan, k, &s0, &s1);
    const int64_t lo = s0 * kSegment, hi = std::min(s1 * kSegment, scan->size);
    const int64_t v0 = std::max<int64_t>(0, lo - kMarginBytes), v1 = std::min(scan->size, hi + kMarginBytes);
    slot.pieces.resize(static_cast<size_t>(s1 - s0));
    for (std::vector<Find>& pieces : slot.pieces)
        pieces.clear();
    slot.searched = 0;
    slot.taken = 0;
    // Past the end of a file that shrank there is nothing to search.
    const bool past = lo >= scan->fileEnd.load();
    const int64_t got = past ? 0 : readAt(scan->fd, v0, view, static_cast<size_t>(v1 - v0));
    if (past) {
        slot.searched = s1 - s0;
    } else if (got < 0) {
        int none = 0;
        scan->failure.compare_exchange_strong(none, errno ? errno : EIO);
        scan->quit = true;
    } else {
        // A file that turns out shorter is searched as a file of that length.
        if (got < v1 - v0)
            lowerFileEnd(scan, v0 + got);
        const int64_t size = got < v1 - v0 ? v0 + got : scan->size;
        for (int64_t s = s0; s < s1; ++s) {
            if (!searchSegment(view, v0, size, s, 0, *scan->options, scratch, &slot.pieces[static_cast<size_t>(s - s0)],
                               scan->stop))
                break;
            ++slot.searched;
            scan->doneBytes += std::max<int64_t>(0, std::min((s + 1) * kSegment, scan->to) - std::max(s * kSegment, scan->from));
        }
    }
    slot.done.store(true, std::memory_order_release);
}

void worker(void* raw)
{
    Scan* scan = static_cast<Scan*>(raw);
    uint8_t* view = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(scan->viewBytes)));
    if (!view)
        return;
    ChunkScratch scratch;
    for (;;) {
        const int64_t k = scan->next.fetch_add(1);
        if (k >= scan->chunks)
            break;
        // Results wait in a ring of slots for the calling thread to take them in order; past the
        // range, chunks are searched only as the collector asks for them.
        while ((k >= scan->consumed.load() + static_cast<int64_t>(scan->ring.size()) || k >= scan->allowed.load()) &&
               !scan->quit.load())
            sleepMilliseconds(1);
        if (scan->quit.load())
            break;
        processChunk(scan, k, view, &scratch);
    }
    std::free(view);
}

struct FileBytes {
    const Scan* scan;
    std::vector<uint8_t> bytes;  // the bytes around a find, where its header may be
};

int64_t fetchFromFile(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes)
{
    FileBytes* f = static_cast<FileBytes*>(user);
    *lo = std::max<int64_t>(*lo, 0);
    hi = std::min(hi, f->scan->fileEnd.load());
    if (hi <= *lo || hi - *lo > static_cast<int64_t>(f->bytes.size()))
        return 0;
    *bytes = f->bytes.data();
    return std::max<int64_t>(0, readAt(f->scan->fd, *lo, f->bytes.data(), static_cast<size_t>(hi - *lo)));
}

bool stopAsked(const Scan& scan)
{
    return scan.stop && scan.stop->load();
}

// Takes chunk k's segments into the flow. False when the scan ends here: its range is listed, the
// file ends, the listing was refused, or the chunk was stopped before its end (*finished false).
bool takeChunk(Scan* scan, Slot* slot, int64_t k, FindFlow* flow, bool* finished)
{
    int64_t s0, s1;
    chunkSegments(*scan, k, &s0, &s1);
    for (int64_t s = s0 + slot->taken; s < s1; ++s) {
        if (s - s0 >= slot->searched)
            return false;
        ++slot->taken;
        const int64_t end = scan->fileEnd.load();
        int64_t next = -1, nextEnd;
        if (s * kSegment >= end) {
            *finished = true;
        } else if ((s + 1) * kSegment < end) {
            segmentView(scan->size, s + 1, &next, &nextEnd);
        }
        flowSegment(flow, &slot->pieces[static_cast<size_t>(s - s0)], next);
        if (next < 0 || flow->refused || flow->listedTo >= scan->to) {
            *finished = !flow->refused;
            return false;
        }
    }
    return true;
}

// Takes finished chunks in order until the range is listed or the scan ends early; returns the
// first chunk not taken.
int64_t collect(Scan* scan, FindFlow* flow, int32_t workers, bool* finished, const FindCallbacks& callbacks)
{
    ChunkScratch scratch;
    uint8_t* view = nullptr;
    int32_t tick = 0;
    const int64_t total = scan->to - scan->from;
    int64_t k = 0;
    while (k < scan->chunks) {
        Slot& slot = scan->ring[static_cast<size_t>(k) % scan->ring.size()];
        if (workers == 0 && !slot.done.load() && !stopAsked(*scan)) {
            // No thread could be had: the calling thread does the work itself.
            if (!view && !(view = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(scan->viewBytes))))) {
                scan->failure = ENOMEM;
                break;
            }
            processChunk(scan, k, view, &scratch);
        }
        if (slot.done.load(std::memory_order_acquire)) {
            const bool more = takeChunk(scan, &slot, k, flow, finished);
            if (!more)
                break;
            slot.done = false;
            scan->consumed = ++k;
            // Past the range, a chunk at a time while a find across its end still grows.
            if (k >= scan->allowed.load())
                scan->allowed = k + 1;
        } else if (stopAsked(*scan) || scan->quit.load()) {
            break;
        } else {
            sleepMilliseconds(2);
        }
        if (callbacks.onProgress && ++tick % 16 == 0)
            callbacks.onProgress(callbacks.user, std::min(scan->doneBytes.load(), total), total);
    }
    std::free(view);
    scan->quit = true;
    return k;
}

}  // namespace

int32_t threadLimit(const FindOptions& options)
{
    return static_cast<int32_t>(std::max<int64_t>(1, kMemoryBudget / workerBytes(options)));
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
    scan.size = size;
    scan.from = std::min(options.from, size);
    scan.to = options.to < 0 ? size : std::min(options.to, size);
    scan.first = std::max<int64_t>(0, scan.from - kLeadBytes) / kSegment;
    scan.chunkSegments = (options.chunkBytes > 0 ? options.chunkBytes : kChunkBytes) / kSegment;
    const int64_t segments = (size + kSegment - 1) / kSegment;
    const int64_t tail = std::clamp((scan.to - kTailBytes) / kSegment, scan.first, std::max(scan.first, segments));
    scan.headEnd = scan.first + (tail - scan.first) / scan.chunkSegments * scan.chunkSegments;
    scan.chunks = scan.to > scan.from ? chunkOf(scan, std::max(segments, scan.headEnd)) : 0;
    scan.viewBytes = viewBytes(options);
    scan.next = 0;
    scan.consumed = 0;
    // The range is listed once nothing after it can settle before its end (a header lies at most
    // kHeaderReach before its find), unless a find across the end still grows.
    const int64_t needed = (scan.to + kHeaderReach + kMarginBytes + kSegment - 1) / kSegment;
    scan.allowed = std::min(scan.chunks, chunkOf(scan, std::max(needed, scan.first)) + 1);
    scan.fileEnd = size;
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
    FileBytes bytes = {&scan, std::vector<uint8_t>(static_cast<size_t>(kFetchBytes))};
    FindCallbacks sink = callbacks;
    FindFlow flow = makeFlow(options, scan.from, scan.to, fetchFromFile, &bytes, [](void* user, const Find& f) {
        const FindCallbacks* c = static_cast<const FindCallbacks*>(user);
        return c->onFind(c->user, f);
    }, &sink);
    bool finished = scan.chunks == 0;
    int64_t k = collect(&scan, &flow, static_cast<int32_t>(pool.size()), &finished, callbacks);
    for (ThreadHandle handle : pool)
        joinThread(handle);
    result->threads = std::max<int32_t>(1, static_cast<int32_t>(pool.size()));
    if (scan.failure.load() != 0) {
        std::snprintf(error, errorSize, "%s", std::strerror(scan.failure.load()));
        return false;
    }
    // Stopped: the chunks searched whole by then still give their finds, as far as they go in
    // order.
    while (!finished && !flow.refused && k < scan.chunks) {
        Slot& slot = scan.ring[static_cast<size_t>(k) % scan.ring.size()];
        if (!slot.done.load() || !takeChunk(&scan, &slot, k, &flow, &finished))
            break;
        slot.done = false;
        ++k;
    }
    const int64_t end = std::min(scan.to, scan.fileEnd.load());
    if (end < scan.to)
        result->shrunkTo = end;
    result->stopped = !finished;
    result->scanned = finished ? end - scan.from : std::clamp(flow.listedTo, scan.from, end) - scan.from;
    if (callbacks.onProgress)
        callbacks.onProgress(callbacks.user, result->scanned, scan.to - scan.from);
    return true;
}
