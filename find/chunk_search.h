// The finder's core over one buffer: sieve, stride search, layout, extent and judgement for the
// pictures that show in part of it. findInBuffer and the file scan both drive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "find/find.h"
#include "find/headers.h"
#include "find/stride_search.h"

struct ChunkScratch {
    std::vector<uint8_t> kinds;
    StrideScratch stride;
    float lastLead = 0.0f;
    bool lastRows = false;  // the last window searched had a row stride stand out
    int64_t lastStart = 0;  // where the last region grown began, in the buffer
};

// Looks for pictures seen from [lo, hi) of data (size bytes, the first at file offset base);
// a picture's region may reach anywhere in [0, size). Finds are appended unmerged; the options
// bound the lags searched and are applied to the merged finds (wanted). False when stopped
// before the end.
bool searchChunk(const uint8_t* data, int64_t size, int64_t base, int64_t lo, int64_t hi, const FindOptions& options,
                 ChunkScratch* scratch, std::vector<Find>* finds, const std::atomic<bool>* stop);

// Segment k covers [k * kSegmentBytes, (k + 1) * kSegmentBytes) of bytes [0, size) (a file, or
// a buffer) and is searched over [*v0, *v1): itself and kMarginBytes either side.
void segmentView(int64_t size, int64_t k, int64_t* v0, int64_t* v1);

// Searches segment k of [0, size): view holds the bytes from position viewAt on, at least the
// segment's view; finds stand at origin plus their position. False when stopped before the end.
bool searchSegment(const uint8_t* view, int64_t viewAt, int64_t size, int64_t k, int64_t origin,
                   const FindOptions& options, ChunkScratch* scratch, std::vector<Find>* finds,
                   const std::atomic<bool>* stop);

// What follows the search, a segment at a time in file order: pieces are joined into finds, a find
// no later segment can change is settled by its header, and settled finds are listed in file order
// once no find still to come can settle before them. Each step depends only on the segments taken
// so far, so the cut into chunks and the thread count change nothing, and a range's scan that
// begins kLeadBytes early lists what a scan of the whole file lists there.
struct FindFlow {
    const FindOptions* options;
    int64_t listFrom;  // finds starting in [listFrom, listTo) are listed
    int64_t listTo;
    FetchBytes fetch;  // the bytes around a find, for its header
    void* fetchUser;
    bool (*list)(void* user, const Find& find);  // false: list no more
    void* listUser;
    std::vector<Find> pending;  // joined, and may still grow
    std::vector<Find> settled;  // final, waiting for the finds before them
    FindOrder order;
    int64_t listedTo;  // every find that starts before this has been listed or passed over
    bool refused;      // list said no more
    HeaderCache headers;
};

FindFlow makeFlow(const FindOptions& options, int64_t listFrom, int64_t listTo, FetchBytes fetch, void* fetchUser,
                  bool (*list)(void*, const Find&), void* listUser);

// Takes the pieces of the next segment (emptied); every later piece starts at next or after, or
// none follows when next < 0.
void flowSegment(FindFlow* flow, std::vector<Find>* pieces, int64_t next);

// Whether a merged find is one the options ask for.
bool wanted(const Find& find, const FindOptions& options);
