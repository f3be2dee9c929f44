#include "find/chunk_search.h"

#include "common/pixel_layouts.h"

#include <algorithm>
#include <climits>

#include "find/extent.h"
#include "find/find_kernels.h"
#include "find/headers.h"
#include "find/layout_pick.h"
#include "find/prune.h"
#include "find/sieve.h"
#include "find/tuning.h"

namespace {

struct Core {
    const uint8_t* data;
    int64_t size;
    int64_t base;
    ChunkScratch* scratch;
    int64_t lagMax;
    const FindOptions* options;
};

constexpr int64_t kLagMin = 8;

// The row of the window most alike to the one below it: the seed the rows grow from.
int64_t seedRow(const Core& c, int64_t w0, int64_t w1, int64_t stride)
{
    int64_t seed = w0;
    float least = 1e9f;
    const int64_t step = std::max({int64_t{1}, stride / 4, (w1 - w0) / 256});
    for (int64_t x = w0; x < w1 && x + 2 * stride <= c.size; x += step) {
        const int64_t n = std::min<int64_t>(stride, 64);
        const float d = meanDifference(c.data, c.size, x, n, std::max<int64_t>(1, stride / n), stride);
        if (d < least) {
            least = d;
            seed = x;
        }
    }
    return seed;
}

// A find's rows, a piece of kPieceRows at a time, cut where their own stride changes: sprite
// frames of several widths back to back are alike enough at any stride near theirs to grow into
// one region. A lone piece that differs from the pieces either side is noise and goes with them.
struct Part {
    int64_t start;
    int64_t rows;
    int64_t stride;
};

void partsByStride(const Core& c, const Extent& extent, int64_t stride, int64_t pixel, std::vector<Part>* parts)
{
    parts->clear();
    // Only for palette indices, as sprite banks hold; wider rows are sampled too thinly a piece at
    // a time to tell a stride from its neighbours, and a picture of wider pixels seldom follows
    // another within a few bytes.
    const int64_t pieces = stride <= kMaxPieceStride && pixel == 1 ? extent.rows / kPieceRows : 0;
    std::vector<int64_t> own(static_cast<size_t>(std::max<int64_t>(pieces, 1)), stride);
    for (int64_t k = 0; pieces >= 2 && k < pieces; ++k) {
        const int64_t at = extent.start + k * kPieceRows * stride;
        const int64_t s = refineStride(c.data, c.size, at, stride, kPieceRows, kLagMin);
        if (s == stride || (s - stride) % pixel != 0)
            continue;
        // Plain rows (a ramp, a backdrop) are alike at any stride near theirs: only a clearly
        // better one counts.
        auto cost = [&](int64_t lag) {
            float once, twice, thrice, unused;
            meanDifferencePair(c.data, c.size, at, kPieceRows * stride, 1, lag, 2 * lag, &once, &twice);
            meanDifferencePair(c.data, c.size, at, kPieceRows * stride, 1, 3 * lag, 3 * lag, &thrice, &unused);
            return once + twice + thrice + kAlikeFloor;
        };
        if (cost(s) < kPieceMargin * cost(stride))
            own[static_cast<size_t>(k)] = s;
    }
    for (size_t k = 1; k + 1 < own.size(); ++k)
        if (own[k] != own[k - 1] && own[k - 1] == own[k + 1])
            own[k] = own[k - 1];
    // Rows are counted along the find's own stride; a part of another stride holds as many of its
    // own rows as fit in its bytes.
    int64_t at = extent.start, row = 0;
    for (size_t k = 0; k < own.size(); ++k) {
        const int64_t rows = k + 1 == own.size() ? extent.rows - row : kPieceRows;
        row += rows;
        if (!parts->empty() && parts->back().stride == own[k]) {
            parts->back().rows += rows;
        } else {
            parts->push_back({at, rows, own[k]});
        }
        at += rows * stride;
    }
    for (Part& part : *parts)
        part.rows = part.rows * stride / part.stride;
}

// The smallest part of the stride (a half, a third, ... a sixteenth) at which the region's own bytes
// are clearly more alike than one row down, or the stride. Differences are counted from
// kAlikeFloor, so that a backdrop, alike at any lag, settles nothing.
int64_t ownPart(const Core& c, const Extent& e, int64_t stride)
{
    const int64_t n = std::min<int64_t>((e.rows - 1) * stride, kPartBytes);
    const float down = meanDifference(c.data, c.size, e.start, n, 1, stride);
    for (int64_t k = kMaxParts; k >= 2; --k)
        if (stride % k == 0 && stride / k >= kLagMin &&
            meanDifference(c.data, c.size, e.start, n, 1, stride / k) + kAlikeFloor <= kPartShare * (down + kAlikeFloor))
            return stride / k;
    return stride;
}

// Tiles of one size (a game's textures) lie back to back, each as grainy as it happens to be,
// and a window's likeness, set by the smoothest of them, turns the grainier ones down. So the
// rows either side of a find are followed a tile's bytes at a time at its reading, each tile
// held to its own bytes: one row down stands out below lags a part of a row aside (what
// unrelated bytes of the same tile give) as a grainy stride does, and it is a picture to the
// judge, at its own stride.
enum TileLook { kUnlikeTile, kAlikeTile, kPlainTile };

TileLook tileLook(const Core& c, const Reading& r, int64_t x, int64_t rows)
{
    const int64_t s = r.stride, n = rows * s;
    if (x < 0 || x + n > c.size)
        return kUnlikeTile;
    const int64_t pixel = std::max<int64_t>(1, kNibblesPerPixel[r.layout] / 2);
    // Bytes of the tile against bytes of the tile, lag bytes on.
    auto within = [&](int64_t lag) { return meanDifference(c.data, c.size, x, n - lag, 1, lag); };
    const float once = within(s);
    const int64_t quarter = pixel * std::max<int64_t>(1, s / (4 * pixel));
    float aside[3 * kTileAsideRows];
    for (int64_t k = 0; k < 3 * kTileAsideRows; ++k)
        aside[k] = within((k / 3 + 1) * s + (k % 3 + 1) * quarter);
    constexpr int64_t kAside = 3 * kTileAsideRows;
    std::nth_element(aside, aside + kAside / 2, aside + kAside);
    const float base = aside[kAside / 2];
    for (float& a : aside)
        a = std::abs(a - base);
    std::nth_element(aside, aside + kAside / 2, aside + kAside);
    const float spread = std::max(aside[kAside / 2], 0.01f);
    if (base < kMinBase)
        return kPlainTile;
    // Sprite frames stand on a backdrop of zeros, where a find read a pixel aslant is as alike as
    // one read straight: followed, its slant would be carried over every frame of the bank. They
    // are found a frame at a time.
    if (std::count(c.data + x, c.data + x + n, uint8_t{0}) * 2 > n)
        return kUnlikeTile;
    if (once > kTileMaxShare * base || base - once < kTileSpreads * spread)
        return kUnlikeTile;
    // Records are alike at every multiple of their length: rows alike at a part of the stride
    // are not a picture's.
    for (int64_t k = 2; k <= kTileHarmonics && s / k >= kLagMin; ++k)
        if (s % k == 0 && within(s / k) <= once + 0.02f * base)
            return kUnlikeTile;
    // Frames of other widths are alike at a stride near theirs too.
    if (refineStride(c.data, c.size, x, s, rows, kLagMin) != s ||
        seamStride(c.data, c.size, x, s - 2 * pixel, s + 2 * pixel, s, pixel, kLagMin, rows) != s)
        return kUnlikeTile;
    // Grainy textures are less smooth across than narrow rows must be on their own: beside a
    // find, a tile is held to the judge's other rules.
    const float share = std::clamp(kGrainySlack * once / base, kMaxDownShare, kMaxGrainyShare);
    return judgeRegion(c.data, c.size, r, {x, rows, once}, base, share) > 0.0f ? kAlikeTile : kUnlikeTile;
}

// How many tiles from x on, a step at a time and none before least, belong to the run: plain
// ones (one colour, say nothing either way) only when an alike one follows within
// kMaxPlainTiles.
int64_t tilesAlong(const Core& c, const Reading& r, int64_t x, int64_t step, int64_t rows, int64_t least)
{
    int64_t taken = 0, plain = 0;
    for (int64_t k = 0; x + k * step >= least; ++k) {
        const TileLook look = tileLook(c, r, x + k * step, rows);
        if (look == kUnlikeTile || (look == kPlainTile && ++plain > kMaxPlainTiles))
            break;
        if (look == kAlikeTile) {
            taken = k + 1;
            plain = 0;
        }
    }
    return taken;
}

// Grows a find over the tiles alike at its reading after it, and before it down to covered.
void followTiles(const Core& c, int64_t covered, bool back, Find* f)
{
    const Reading r = {f->layout, f->width, f->stride, -1, 0.0f};
    const int64_t s = r.stride;
    const int64_t rows = std::max<int64_t>(kMinRows, kTileBytes / s);
    int64_t start = f->offset - c.base, count = f->height;
    if (back) {
        const int64_t before = tilesAlong(c, r, start - rows * s, -rows * s, rows, covered);
        start -= before * rows * s;
        count += before * rows;
    }
    count += rows * tilesAlong(c, r, start + count * s, rows * s, rows, 0);
    count = std::min<int64_t>(count, INT32_MAX);
    if (count != f->height) {
        f->score = rankAt(*f, count, f->width);
        f->offset = c.base + start;
        f->height = static_cast<int32_t>(count);
        f->bytes = (count - 1) * s + rowBytes(r.layout, r.width);
    }
}

// One window: its stride, layout, rows and judgement. Returns the end of the region found
// (a picture or a rejected lookalike, which is not searched again), or -1; the region's start
// is kept in lastStart.
int64_t searchWindow(const Core& c, int64_t w0, int64_t w1, int64_t lagMax, int64_t covered, std::vector<Find>* finds)
{
    StrideCandidate candidate;
    const bool found = searchStride(c.data, c.size, w0, w1, kLagMin, lagMax, &c.scratch->stride, &candidate);
    c.scratch->lastLead = candidate.shortLead;
    c.scratch->lastRows = found;
    if (!found)
        return -1;
    const int64_t seed = seedRow(c, w0, w1, candidate.stride);
    // Grainy rows, whose stride stood out only against the spread of the other lags, are held to
    // their own likeness, with some slack, rather than to a smooth picture's.
    const float down = candidate.down / std::max(candidate.base, kMinBase);
    const float share = down > kMaxDownShare ? std::clamp(kGrainySlack * down, kMaxDownShare, kMaxGrainyShare) : kMaxDownShare;
    if (!enoughRows(c.data, c.size, seed, candidate.stride, candidate.base, share))
        return -1;
    const int64_t sampled = candidate.stride;
    candidate.stride = refineStride(c.data, c.size, seed, sampled, 64, kLagMin);
    Reading reading;
    if (!pickLayout(c.data, c.size, seed, candidate.stride, 64, &reading))
        return -1;
    const int64_t pixel = std::max<int64_t>(1, kNibblesPerPixel[reading.layout] / 2);
    const int64_t seamed = seamStride(c.data, c.size, seed, std::min(sampled, reading.stride) - std::max<int64_t>(4, 2 * pixel),
                                      std::max(sampled, reading.stride) + std::max<int64_t>(4, 2 * pixel), reading.stride,
                                      pixel, kLagMin, 32);
    if (seamed != reading.stride && !pickLayout(c.data, c.size, seed, seamed, 64, &reading))
        return -1;
    Extent extent;
    if (!growExtent(c.data, c.size, seed, reading, candidate.base, share, &extent))
        return -1;
    // The stride and layout are judged again on the picture's own rows, its first kSettleRows
    // for the stride, the middle ones for the layout: the seed's rows may run past its end into
    // other data, and a picture may be ambiguous in part of its rows. More rows would reach over
    // sprite frames back to back, each a header's bytes further on, and blur the stride.
    const int64_t settleRows = std::min<int64_t>(extent.rows - 1, kSettleRows);
    int64_t settled = refineStride(c.data, c.size, extent.start, reading.stride, settleRows, kLagMin);
    const int64_t middle = extent.start + std::max<int64_t>(0, extent.rows / 2 - 32) * reading.stride;
    // A change holds only when the middle rows agree: the first ones may be mostly a sprite's
    // backdrop, where a slanting lag does as well.
    if (settled != reading.stride &&
        refineStride(c.data, c.size, middle, reading.stride, settleRows, kLagMin) == reading.stride)
        settled = reading.stride;
    Reading own;
    const int64_t ownPixel = std::max<int64_t>(1, kNibblesPerPixel[reading.layout] / 2);
    const int64_t wrapped = seamStride(c.data, c.size, extent.start, settled - 2 * ownPixel, settled + 2 * ownPixel, settled,
                                       ownPixel, kLagMin, settleRows);
    if (pickLayout(c.data, c.size, middle, wrapped, std::min<int64_t>(64, extent.rows - 1), &own)) {
        const bool regrow = own.layout != reading.layout || own.stride != reading.stride;
        reading = own;
        if (regrow && !growExtent(c.data, c.size, seed, reading, candidate.base, share, &extent))
            return -1;
    }
    // Frames of several widths back to back are alike at a lag common to their widths (96 for
    // frames 32 and 48 wide), and a window's stride may be that: the region's own rows, alike at
    // a part of it as well, are a picture of that narrower stride.
    for (int64_t part = ownPart(c, extent, reading.stride); part != reading.stride; part = ownPart(c, extent, reading.stride)) {
        Reading narrower;
        Extent regrown;
        if (!pickLayout(c.data, c.size, extent.start, part, 64, &narrower) ||
            !growExtent(c.data, c.size, seed, narrower, candidate.base, share, &regrown))
            break;
        reading = narrower;
        extent = regrown;
    }
    // A picture already found is not found again from below in another reading. Rows within it
    // (tiles followed past a window's find) send the search on past it.
    c.scratch->lastStart = extent.start;
    if (extent.start < covered) {
        const int64_t skipped = (covered - extent.start + reading.stride - 1) / reading.stride;
        extent.start += skipped * reading.stride;
        extent.rows -= skipped;
        if (extent.rows < kMinRows)
            return std::max(covered, extent.start + extent.rows * reading.stride);
    }
    const int64_t end = extent.start + extent.rows * reading.stride;
    std::vector<Part> parts;
    partsByStride(c, extent, reading.stride, ownPixel, &parts);
    const size_t before = finds->size();
    for (const Part& part : parts) {
        if (part.rows < kMinRows)
            continue;
        Reading r = reading;
        r.width = static_cast<int32_t>(reading.width + (part.stride - reading.stride) / ownPixel);
        r.stride = part.stride;
        const Extent e = {part.start, part.rows, extent.down};
        float features[kJudgeFeatures];
        const float score = judgeRegion(c.data, c.size, r, e, candidate.base, share, features);
        const int64_t bytes = (e.rows - 1) * r.stride + rowBytes(r.layout, r.width);
        const Find region = {c.base + e.start, bytes, r.layout, r.width,
                             static_cast<int32_t>(std::min<int64_t>(INT32_MAX, e.rows)), r.stride,
                             score > 0.0f ? rankScore(score, e.rows, r.width) : 0.0f};
        if (c.options->onJudged)
            c.options->onJudged(c.options->judgedUser, region, features);
        if (score > 0.0f)
            finds->push_back(region);
    }
    // The windows go on from the find's own end, so that following does not move them: the
    // tiles followed are covered and not found again.
    if (finds->size() > before && (finds->back().stride >= kMinTileStride || finds->back().bytes >= kTileBytes))
        followTiles(c, covered, finds->size() == before + 1, &finds->back());
    return end;
}

}  // namespace

bool searchChunk(const uint8_t* data, int64_t size, int64_t base, int64_t lo, int64_t hi, const FindOptions& options,
                 ChunkScratch* scratch, std::vector<Find>* finds, const std::atomic<bool>* stop)
{
    sieveBlocks(data, size, &scratch->kinds);
    // Rows up to the widest the options allow are looked for: a narrower picture's stride lies
    // within them, and so does every smaller lag that could be mistaken for it.
    int64_t widest = 0;
    for (int32_t layout = 0; layout < kLayoutCount; ++layout)
        if (options.layouts >> layout & 1)
            widest = std::max(widest, rowBytes(layout, options.maxWidth) + kMaxPadBytes + 4);
    Core c = {data, size, base, scratch, widest, &options};
    const std::vector<uint8_t>& kinds = scratch->kinds;
    int64_t pos = lo - lo % kBlockBytes;
    int64_t covered = 0;  // the end of the last find, in the buffer
    while (pos < hi) {
        if (stop && stop->load(std::memory_order_relaxed))
            return false;
        const int64_t block = pos / kBlockBytes;
        if (kinds[static_cast<size_t>(block)] != kSearchBlock) {
            pos = (block + 1) * kBlockBytes;
            continue;
        }
        // A window: searched and flat blocks up to kWindowBytes, ending before noise.
        int64_t w1 = pos;
        while (w1 < std::min(size, pos + kWindowBytes) && kinds[static_cast<size_t>(w1 / kBlockBytes)] != kNoiseBlock)
            w1 = std::min(size, (w1 / kBlockBytes + 1) * kBlockBytes);
        const size_t before = finds->size();
        // A short window between noise holds no row much longer than itself that could be
        // told from the noise around it.
        const int64_t lagMax = std::min(c.lagMax, std::max(kSmallWindowMaxLag, kShortWindowLagFactor * (w1 - pos)));
        int64_t end = searchWindow(c, pos, w1, lagMax, covered, finds);
        // Small pictures drown in a large window, or lie before a larger one found in it or a
        // region turned down: those bytes are searched again in small windows for shorter rows,
        // unless no short lag stood out at all.
        const int64_t smallEnd = end < 0 ? w1 : finds->size() > before ? finds->back().offset - c.base : c.scratch->lastStart;
        // Nor when rows stood out but no picture grew from them: small pictures of several widths
        // side by side (icons in a heap) blur the window's stride.
        const bool hint = c.scratch->lastLead >= kMinShortLead || (end < 0 && c.scratch->lastRows);
        for (int64_t s0 = pos; hint && s0 + kBlockBytes <= smallEnd; ) {
            const int64_t s1 = std::min(smallEnd, s0 + kSmallWindowBytes);
            int64_t e = searchWindow(c, s0, s1, kSmallWindowMaxLag, covered, finds);
            // Rows grown back over what came before, ending there, leave this window unsearched.
            if (e >= 0 && e <= s0)
                e = -1;
            // Icons a few KiB each, of several sizes, blur even a small window: their rows are
            // looked for a tiny window at a time. A tiny window reaching over other data may grow
            // a picture into it, rejected: only a find ends the search here.
            for (int64_t t0 = s0; e < 0 && c.scratch->lastRows && t0 + kBlockBytes <= s1; t0 += kTinyWindowBytes / 2) {
                const size_t had = finds->size();
                const int64_t t = searchWindow(c, t0, std::min(smallEnd, t0 + kTinyWindowBytes), kTinyWindowMaxLag, covered, finds);
                if (finds->size() > had && t > t0) {
                    e = t;
                    break;
                }
            }
            s0 = e > s0 ? e : s0 + kSmallWindowBytes;
            end = std::max(end, e);
        }
        if (finds->size() > before)
            covered = std::max(covered, finds->back().offset - c.base + finds->back().bytes);
        pos = end > pos ? end : w1;
    }
    findStoredPictures(data, size, base, lo, hi, kinds, finds);
    return true;
}

void segmentView(int64_t size, int64_t k, int64_t* v0, int64_t* v1)
{
    *v0 = std::clamp<int64_t>(k * kSegmentBytes - kMarginBytes, 0, size);
    *v1 = std::clamp<int64_t>((k + 1) * kSegmentBytes + kMarginBytes, 0, size);
}

bool searchSegment(const uint8_t* view, int64_t viewAt, int64_t size, int64_t k, int64_t origin,
                   const FindOptions& options, ChunkScratch* scratch, std::vector<Find>* finds,
                   const std::atomic<bool>* stop)
{
    int64_t v0, v1;
    segmentView(size, k, &v0, &v1);
    const int64_t lo = std::min(k * kSegmentBytes, size), hi = std::min((k + 1) * kSegmentBytes, size);
    if (lo >= hi)
        return true;
    return searchChunk(view + (v0 - viewAt), v1 - v0, origin + v0, lo - v0, hi - v0, options, scratch, finds, stop);
}

FindFlow makeFlow(const FindOptions& options, int64_t listFrom, int64_t listTo, FetchBytes fetch, void* fetchUser,
                  bool (*list)(void*, const Find&), void* listUser)
{
    return {&options, listFrom, listTo, fetch, fetchUser, list, listUser, {}, {}, {}, INT64_MIN, false, {}};
}

void flowSegment(FindFlow* flow, std::vector<Find>* pieces, int64_t next)
{
    flow->pending.insert(flow->pending.end(), pieces->begin(), pieces->end());
    pieces->clear();
    mergeFinds(&flow->pending);
    size_t taken = 0;
    while (taken < flow->pending.size() && !(next >= 0 && mayGrowPast(flow->pending[taken], next)))
        ++taken;
    std::vector<Find> batch(flow->pending.begin(), flow->pending.begin() + static_cast<std::ptrdiff_t>(taken));
    settleAndOrder(&batch, flow->fetch, flow->fetchUser, nullptr, &flow->headers);
    flow->settled.insert(flow->settled.end(), batch.begin(), batch.end());
    flow->pending.erase(flow->pending.begin(), flow->pending.begin() + static_cast<std::ptrdiff_t>(taken));
    // A header lies at most kHeaderReach before the find it settles; finds still to come start
    // at next or at a pending one's start, or after.
    int64_t settledFrom = INT64_MAX;
    if (next >= 0)
        settledFrom = std::min(next, flow->pending.empty() ? next : flow->pending.front().offset) - kHeaderReach;
    std::stable_sort(flow->settled.begin(), flow->settled.end(),
                     [](const Find& a, const Find& b) { return a.offset < b.offset; });
    size_t listed = 0;
    for (; listed < flow->settled.size() && flow->settled[listed].offset < settledFrom && !flow->refused; ++listed) {
        const Find& f = flow->settled[listed];
        if (!wanted(f, *flow->options) || !keepInOrder(&flow->order, f) || f.offset < flow->listFrom ||
            f.offset >= flow->listTo)
            continue;
        if (!flow->list(flow->listUser, f)) {
            flow->refused = true;
            flow->listedTo = std::max(flow->listedTo, f.offset);
        }
    }
    flow->settled.erase(flow->settled.begin(), flow->settled.begin() + static_cast<std::ptrdiff_t>(listed));
    if (!flow->refused)
        flow->listedTo = std::max(flow->listedTo, settledFrom);
}

bool wanted(const Find& f, const FindOptions& options)
{
    return (options.layouts >> f.layout & 1) && f.width >= options.minWidth && f.width <= options.maxWidth &&
           f.bytes >= options.minBytes && f.height >= options.minHeight;
}
