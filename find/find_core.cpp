// Options, and the finder over a buffer in memory: the same chunks, margins and merging as the
// file scan, so that both give the same finds.
#include <algorithm>
#include <climits>
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
    else if (o.chunkBytes < 0 || o.chunkBytes % kSegmentBytes != 0 || o.chunkBytes > kMemoryBudget / 2)
        bad = "the chunk size";
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
    BufferBytes buffer = {data, size, base};
    FindFlow flow = makeFlow(options, INT64_MIN, INT64_MAX, fetchFromBuffer, &buffer, [](void* user, const Find& f) {
        static_cast<std::vector<Find>*>(user)->push_back(f);
        return true;
    }, finds);
    std::vector<Find> pieces;
    for (int64_t k = 0, segments = (size + kSegmentBytes - 1) / kSegmentBytes; k < segments; ++k) {
        searchSegment(data, 0, size, k, base, options, &scratch, &pieces, nullptr);
        int64_t next, end;
        segmentView(size, k + 1, &next, &end);
        flowSegment(&flow, &pieces, k + 1 < segments ? base + next : -1);
    }
    if (size == 0)
        flowSegment(&flow, &pieces, -1);
    return true;
}
