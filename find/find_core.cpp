// Options, and the finder over a buffer in memory: the same chunks, margins and merging as the
// file scan, so that both give the same finds.
#include <algorithm>
#include <cstdio>

#include "find/chunk_search.h"
#include "find/find.h"
#include "find/headers.h"
#include "find/prune.h"
#include "find/tuning.h"

static_assert(kFindHeightFloor == kMinRows, "the floor is what the extent grows at least");

FindOptions defaultFindOptions()
{
    return {kAllLayouts, 8, 4096, 4096, 32, 0, -1, 0};
}

int64_t rowBytes(int32_t layout, int32_t width)
{
    return layout >= 0 && layout < kLayoutCount ? (int64_t{width} * kNibblesPerPixel[layout] + 1) / 2 : 0;
}

bool checkFindOptions(const FindOptions& o, char* error, size_t errorSize)
{
    const char* bad = nullptr;
    if (o.layouts == 0 || (o.layouts & ~kAllLayouts))
        bad = "--layouts";
    else if (o.minWidth < kFindWidthFloor || o.maxWidth > kFindWidthCeiling || o.minWidth > o.maxWidth)
        bad = "--width";
    else if (o.minBytes < 1)
        bad = "--min-bytes";
    else if (o.minHeight < kFindHeightFloor || o.minHeight > kFindHeightCeiling)
        bad = "--min-height";
    else if (o.from < 0 || (o.to >= 0 && o.to < o.from))
        bad = "--from/--to";
    else if (o.threads < 0 || o.threads > 256)
        bad = "--threads";
    if (bad && error && errorSize)
        std::snprintf(error, errorSize, "%s out of range", bad);
    return bad == nullptr;
}

bool findInBuffer(const uint8_t* data, int64_t size, int64_t base, const FindOptions& options,
                  std::vector<Find>* finds)
{
    if (!checkFindOptions(options, nullptr, 0) || size < 0)
        return false;
    ChunkScratch scratch;
    std::vector<Find> found;
    for (int64_t k = 0, chunks = chunkCount(size); k < chunks; ++k) {
        const int64_t lo = chunkStart(size, k), hi = chunkStart(size, k + 1);
        const int64_t v0 = std::max<int64_t>(0, lo - kMarginBytes);
        const int64_t v1 = std::min(size, hi + kMarginBytes);
        searchChunk(data + v0, v1 - v0, base + v0, lo - v0, hi - v0, options, &scratch, &found, nullptr);
    }
    mergeFinds(&found);
    BufferBytes buffer = {data, size, base};
    settleAndOrder(&found, fetchFromBuffer, &buffer);
    FindOrder order;
    for (const Find& f : found)
        if (wanted(f, options) && keepInOrder(&order, f))
            finds->push_back(f);
    return true;
}
