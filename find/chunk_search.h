// The finder's core over one buffer: sieve, stride search, layout, extent and judgement for the
// pictures that show in part of it. findInBuffer and the file scan both drive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "find/find.h"
#include "find/stride_search.h"

struct ChunkScratch {
    std::vector<uint8_t> kinds;
    StrideScratch stride;
    float lastLead = 0.0f;
};

// Looks for pictures seen from [lo, hi) of data (size bytes, the first at file offset base);
// a picture's region may reach anywhere in [0, size). Finds are appended unmerged; the options
// bound the lags searched and are applied to the merged finds (wanted).
void searchChunk(const uint8_t* data, int64_t size, int64_t base, int64_t lo, int64_t hi, const FindOptions& options,
                 ChunkScratch* scratch, std::vector<Find>* finds, const std::atomic<bool>* stop);

// How a range of `total` bytes is cut into chunks, the same for the file scan and the buffer:
// chunk k covers [chunkStart(total, k), chunkStart(total, k + 1)), k below chunkCount(total).
int64_t chunkCount(int64_t total);
int64_t chunkStart(int64_t total, int64_t k);

// Whether a merged find is one the options ask for.
bool wanted(const Find& find, const FindOptions& options);

