#include "find/stride_search.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "find/find_kernels.h"
#include "find/sieve.h"
#include "find/tuning.h"

float meanDifference(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lag)
{
    const int64_t end = std::min({from + count * step, size - std::max<int64_t>(lag, 0), size});
    int64_t sum = 0, n = 0;
    if (step == 1) {
        n = std::max<int64_t>(0, end - from);
        sum = n > 0 ? static_cast<int64_t>(sumCappedDifferences(data + from, data + from + lag, n, kDifferenceCap)) : 0;
    } else {
        for (int64_t i = from; i < end; i += step, ++n)
            sum += std::min(std::abs(data[i] - data[i + lag]), kDifferenceCap);
    }
    return n > 0 ? static_cast<float>(sum) / static_cast<float>(n) : static_cast<float>(kDifferenceCap);
}

void meanDifferencePair(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lagA,
                        int64_t lagB, float* a, float* b)
{
    // Every byte: each lag in one vector pass does better than both in one plain loop.
    if (step == 1) {
        *a = meanDifference(data, size, from, count, 1, lagA);
        *b = meanDifference(data, size, from, count, 1, lagB);
        return;
    }
    const int64_t far = std::max(lagA, lagB);
    const int64_t whole = std::min({from + count * step, size - far, size});
    int64_t sumA = 0, sumB = 0, n = 0, i = from;
    for (; i < whole; i += step, ++n) {
        sumA += std::min(std::abs(data[i] - data[i + lagA]), kDifferenceCap);
        sumB += std::min(std::abs(data[i] - data[i + lagB]), kDifferenceCap);
    }
    // The nearer lag's partners reach further.
    const int64_t near = std::min(lagA, lagB);
    const int64_t end = std::min({from + count * step, size - near, size});
    int64_t sumNear = lagA <= lagB ? sumA : sumB, m = n;
    for (; i < end; i += step, ++m)
        sumNear += std::min(std::abs(data[i] - data[i + near]), kDifferenceCap);
    auto mean = [](int64_t sum, int64_t k) {
        return k > 0 ? static_cast<float>(sum) / static_cast<float>(k) : static_cast<float>(kDifferenceCap);
    };
    *a = lagA <= lagB ? mean(sumNear, m) : mean(sumA, n);
    *b = lagA <= lagB ? mean(sumB, n) : mean(sumNear, m);
}

void meanDifferences(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lo,
                     int32_t lags, float* out)
{
    uint32_t sums[kMaxBatchLags] = {};
    const int64_t end = std::min(from + count * step, size);
    // Vector code over the bytes whose partners at every lag lie in the data, a batch of positions
    // at a time (16-bit sums hold 4369); then the last ones, each lag as far as its partners reach.
    constexpr int32_t kBatch = 4096;
    static_assert(kMaxBatchLags <= kNearLags + 1);
    // Most calls read every byte: their positions are 0, 1, 2, ... and need not be written out.
    static const auto kEvery = [] {
        std::array<int32_t, kBatch> every{};
        for (int32_t k = 0; k < kBatch; ++k)
            every[static_cast<size_t>(k)] = k;
        return every;
    }();
    int32_t spaced[kBatch];
    const int64_t whole = std::min(end, size - (lo + kMaxBatchLags - 1));
    int64_t i = from, n = 0;
    while (i < whole && step <= (int64_t{1} << 16)) {
        const int64_t first = i;
        int32_t batch = 0;
        const int32_t* positions = kEvery.data();
        if (step == 1) {
            batch = static_cast<int32_t>(std::min<int64_t>(kBatch, whole - first));
            i += batch;
        } else {
            for (; i < whole && batch < kBatch; i += step)
                spaced[batch++] = static_cast<int32_t>(i - first);
            positions = spaced;
        }
        sumNearDifferences(data + first, positions, batch, lo, kDifferenceCap, sums);
        for (int32_t k = kNearLags; k < lags; ++k)
            for (int32_t b = 0; b < batch; ++b)
                sums[k] += static_cast<uint32_t>(
                    std::min(std::abs(data[first + positions[b]] - data[first + positions[b] + lo + k]), kDifferenceCap));
        n += batch;
    }
    for (int32_t k = 0; k < lags; ++k) {
        int64_t m = n;
        for (int64_t j = i; j < end && j + lo + k < size; j += step, ++m)
            sums[k] += static_cast<uint32_t>(std::min(std::abs(data[j] - data[j + lo + k]), kDifferenceCap));
        out[k] = m > 0 ? static_cast<float>(sums[k]) / static_cast<float>(m) : static_cast<float>(kDifferenceCap);
    }
}

// The window's cells that are neither noise nor plain: a picture beside noise or compressed data
// then speaks for itself instead of being averaged with them. (Choosing only the smoothest cells
// favours the quiet parts of code and tables over grainy pictures.)
static void quietCells(const uint8_t* data, int64_t w0, int64_t w1, std::vector<uint8_t>* quiet, std::vector<float>* levels)
{
    levels->clear();
    for (int64_t c = w0; c < w1; c += kCellBytes) {
        uint64_t sums[4];
        const int64_t n = std::min(kCellBytes, w1 - c);
        roughness(data + c, n, sums);
        const uint64_t least = std::min({sums[0], sums[1], sums[2], sums[3]});
        levels->push_back(n > 8 && sums[0] > 0 ? static_cast<float>(least) / static_cast<float>(n - 4) : -1.0f);
    }
    const float limit = static_cast<float>(kNoiseRoughness);
    quiet->clear();
    for (float level : *levels)
        quiet->push_back(level >= 0.0f && level <= limit);
}

// Every step-th byte of the window's quiet cells, nudged so that rows are not always sampled in
// the same column.
static void samplePositions(const uint8_t* data, int64_t w0, int64_t w1, int64_t last, StrideScratch* s)
{
    std::vector<int32_t>* out = &s->positions;
    out->clear();
    w1 = std::min(w1, last + 1);
    if (w1 <= w0)
        return;
    quietCells(data, w0, w1, &s->quiet, &s->levels);
    int64_t quietBytes = 0;
    for (size_t k = 0; k < s->quiet.size(); ++k)
        quietBytes += s->quiet[k] ? std::min(kCellBytes, w1 - w0 - static_cast<int64_t>(k) * kCellBytes) : 0;
    const int64_t step = std::max<int64_t>(1, quietBytes / kPositions);
    uint32_t jitter = 0x9E3779B9u;
    for (size_t k = 0; k < s->quiet.size(); ++k) {
        if (!s->quiet[k])
            continue;
        const int64_t c0 = w0 + static_cast<int64_t>(k) * kCellBytes, c1 = std::min(w1, c0 + kCellBytes);
        for (int64_t p = c0 + (c0 - w0) % step; p < c1 && static_cast<int32_t>(out->size()) < kPositions; p += step) {
            jitter = jitter * 1664525u + 1013904223u;
            out->push_back(static_cast<int32_t>(std::min(c1 - 1, p + static_cast<int64_t>((jitter >> 8) % static_cast<uint32_t>(step)))));
        }
    }
}

// The median of |d[lag] - centre| over every `every`-th lag, to 1/64: differences are at most
// kDifferenceCap.
static float medianOfLags(const std::vector<float>& d, int64_t lagMin, int64_t lagMax, int64_t every, float centre)
{
    constexpr int kSteps = 64;
    std::array<uint16_t, kDifferenceCap * kSteps + 2> counts{};
    int32_t n = 0;
    for (int64_t lag = lagMin; lag <= lagMax; lag += every, ++n)
        ++counts[static_cast<size_t>(std::abs(d[static_cast<size_t>(lag)] - centre) * kSteps + 0.5f)];
    int32_t seen = 0;
    for (size_t k = 0; k < counts.size(); ++k)
        if ((seen += counts[k]) > n / 2)
            return static_cast<float>(k) / kSteps;
    return static_cast<float>(kDifferenceCap);
}

static bool localMinimum(const std::vector<float>& d, int64_t s, int64_t lagMax)
{
    for (int64_t k = 1; k <= 4; ++k)
        if ((s - k >= 1 && d[static_cast<size_t>(s - k)] < d[static_cast<size_t>(s)]) ||
            (s + k <= lagMax && d[static_cast<size_t>(s + k)] < d[static_cast<size_t>(s)]))
            return false;
    return true;
}

// Out of line, like the other plain loops the fuzz build leaves untraced by name.
[[gnu::noinline]] static void meansOfSums(const uint32_t* sums, int32_t count, int64_t lagMax, float* d)
{
    for (int64_t lag = 1; lag <= lagMax; ++lag)
        d[lag] = static_cast<float>(sums[lag]) / static_cast<float>(count);
}

// The least of sums[lo..hi] (hi >= lo), kept in four running minima so that the loop does not
// wait on each comparison. The sums order the lags as their means do.
static uint32_t leastSum(const uint32_t* sums, int64_t lo, int64_t hi)
{
    uint32_t m[4] = {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
    int64_t i = lo;
    for (; i + 3 <= hi; i += 4)
        for (int k = 0; k < 4; ++k)
            m[k] = std::min(m[k], sums[i + k]);
    for (; i <= hi; ++i)
        m[0] = std::min(m[0], sums[i]);
    return std::min({m[0], m[1], m[2], m[3]});
}

// The lag of least difference among those less than their four neighbours either side, or -1.
// The first lag of the least sum of all is one, unless a lag below lagMin is less still.
static int64_t lowestMinimum(const std::vector<float>& d, const uint32_t* sums, uint32_t least, int64_t lagMin, int64_t lagMax)
{
    int64_t first = lagMin;
    while (sums[first] != least)
        ++first;
    if (localMinimum(d, first, lagMax))
        return first;
    int64_t best = -1;
    for (int64_t lag = lagMin; lag <= lagMax; ++lag)
        if ((best < 0 || d[static_cast<size_t>(lag)] < d[static_cast<size_t>(best)]) && localMinimum(d, lag, lagMax))
            best = lag;
    return best;
}

// Rows alike one row down are alike two and three rows down too: of lags as good as the best,
// the smallest that divides it is the stride.
static int64_t smallestHarmonic(const std::vector<float>& d, int64_t best, int64_t lagMin, int64_t lagMax, float base)
{
    const float limit = kHarmonicSlack * d[static_cast<size_t>(best)] + 0.02f * base;
    int64_t stride = best;
    for (int64_t k = 2; k <= kMaxHarmonic && best / k >= lagMin; ++k)
        for (int64_t s = best / k - 1; s <= best / k + 1; ++s)
            if (s >= lagMin && std::abs(best - k * s) <= 2 && d[static_cast<size_t>(s)] <= limit &&
                localMinimum(d, s, lagMax) && s < stride)
                stride = s;
    return stride;
}

bool searchStride(const uint8_t* data, int64_t size, int64_t w0, int64_t w1,
                  int64_t lagMin, int64_t lagMax, StrideScratch* s, StrideCandidate* out)
{
    // Near the end of the data, rows as long as half of what is left can still be sampled.
    lagMax = std::min(lagMax, (size - w0 - kKernelPadding - 1) / 2);
    out->shortLead = 1e9f;
    if (lagMax < lagMin + 8)
        return false;
    samplePositions(data, w0, w1, size - lagMax - kKernelPadding, s);
    const int32_t count = static_cast<int32_t>(s->positions.size());
    if (count < 64)
        return false;
    s->sums.resize(static_cast<size_t>(lagMax) + 1);
    s->sums[0] = 0;
    sumDifferences(data, s->positions.data(), count, static_cast<int32_t>(lagMax), kDifferenceCap, s->sums.data());
    // Every lag from 1 on is written over: kept apart from the cells' levels, the means need not
    // be cleared again for each window.
    std::vector<float>& d = s->means;
    d.resize(static_cast<size_t>(lagMax) + 1);
    meansOfSums(s->sums.data(), count, lagMax, d.data());
    const int64_t shortMax = std::min(lagMax, kSmallWindowMaxLag);
    const uint32_t shortLeast = leastSum(s->sums.data(), lagMin, shortMax);
    const uint32_t leastOfAll = shortMax < lagMax ? std::min(shortLeast, leastSum(s->sums.data(), shortMax + 1, lagMax)) : shortLeast;
    const int64_t best = lowestMinimum(d, s->sums.data(), leastOfAll, lagMin, lagMax);
    if (best < 0)
        return false;
    // The median and spread of a few hundred lags spread evenly are as good as of all of them,
    // and counted in steps of 1/64 of a level they come without sorting.
    const int64_t every = std::max<int64_t>(8, (lagMax - lagMin) / kMedianLags);
    const float base = medianOfLags(d, lagMin, lagMax, every, 0.0f);
    // Grainy pictures are only somewhat more alike one row down than elsewhere, but far more
    // surely so than any other lag: their stride stands many spreads below the median.
    const float spread = std::max(medianOfLags(d, lagMin, lagMax, every, base), 0.01f);
    out->shortLead = (base - static_cast<float>(shortLeast) / static_cast<float>(count)) / spread;
    const float least = d[static_cast<size_t>(best)];
    const bool grainy = least <= kMaxGrainyShare * base && base - least >= kGrainySpreads * spread;
    if (base < kMinBase || (least > kMaxDownShare * base && !grainy))
        return false;
    const int64_t stride = smallestHarmonic(d, best, lagMin, lagMax, base);
    const float down = d[static_cast<size_t>(stride)];
    // Records are alike only at their exact length; a picture's rows are nearly as alike a pixel
    // aside, whatever the pixel's size. Most lookalikes end here, before the costlier stages.
    // Differences under kAlikeFloor count as equally alike: an upscaled picture is as smooth
    // aslant as down, within a fraction of a level.
    float aside = -1.0f;
    for (int64_t b = 1; b <= 4 && stride + b <= lagMax; ++b) {
        const float m = 0.5f * (d[static_cast<size_t>(stride - b)] + d[static_cast<size_t>(stride + b)]);
        aside = aside < 0.0f ? m : std::min(aside, m);
    }
    if (aside >= 0.0f && down + kAlikeFloor < kEarlySlant * (aside + kAlikeFloor))
        return false;
    out->stride = stride;
    out->down = down;
    out->base = base;
    return true;
}

static int alignment(int64_t lag)
{
    int bits = 0;
    while (bits < 6 && (lag >> bits & 1) == 0)
        ++bits;
    return bits;
}

int64_t refineStride(const uint8_t* data, int64_t size, int64_t seed, int64_t stride, int64_t rows, int64_t lagMin)
{
    // Rows of a smooth picture are nearly as alike one pixel aslant: only many bytes of the rows
    // themselves tell the straight neighbour from the slanting ones, and more surely two and
    // three rows down, where the slant has grown. The lags are narrowed on one row down first.
    const int64_t span = std::min<int64_t>(rows * stride, 4 << 10);
    const int64_t step = std::max<int64_t>(1, (rows * stride + span - 1) / span);
    // Wide rows are missed by more bytes: a few pixels of the widest layout.
    const int64_t reach = std::clamp<int64_t>(stride / 128, 4, kMaxRefineReach);
    float down[2 * kMaxRefineReach + 1];
    meanDifferences(data, size, seed, span, step, stride - reach, static_cast<int32_t>(2 * reach + 1), down);
    for (int64_t k = -reach; k <= reach; ++k)
        if (stride + k < lagMin)
            down[k + reach] = 1e9f;
    // Two and three rows down, every lag at once while they fit one batch.
    float twiceAll[kMaxBatchLags], thriceAll[kMaxBatchLags];
    const bool batched = 6 * reach + 1 <= kMaxBatchLags;
    if (batched) {
        meanDifferences(data, size, seed, span, step, 2 * (stride - reach), static_cast<int32_t>(4 * reach + 1), twiceAll);
        meanDifferences(data, size, seed, span, step, 3 * (stride - reach), static_cast<int32_t>(6 * reach + 1), thriceAll);
    }
    int64_t best = stride;
    float least = 1e9f;
    for (int64_t k = -reach; k <= reach; ++k) {
        if (down[k + reach] > 1.2f * down[reach] + 0.05f)
            continue;
        const int64_t lag = stride + k;
        float twice, thrice;
        if (batched) {
            twice = twiceAll[2 * (k + reach)];
            thrice = thriceAll[3 * (k + reach)];
        } else {
            meanDifferencePair(data, size, seed, span, step, 2 * lag, 3 * lag, &twice, &thrice);
        }
        const float cost = down[k + reach] + twice + thrice;
        // Of strides nearly as alike, the one aligned to more bytes: BMP rows are padded to 4
        // bytes, and screens and textures are round widths; raw formats' rows are whole pixels
        // and so as often aligned as not.
        const bool better = cost < 0.98f * least || (k == 0 && cost <= least) ||
                            (cost < kAlignedSlack * least && alignment(lag) > alignment(best));
        if (better) {
            least = cost;
            best = lag;
        }
    }
    return best;
}

constexpr int64_t kMaxSeamStride = 8 << 10;
// Column sums of byte steps fit 16 bits over this many rows.
constexpr int64_t kMaxSeamRows = 256;

// |from[i] - from[i + pixel]|, worked out once and shared by every stride tried.
static void seamSteps(const uint8_t* from, int64_t count, int64_t pixel, std::vector<uint8_t>* steps)
{
    steps->resize(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i)
        (*steps)[static_cast<size_t>(i)] = static_cast<uint8_t>(std::abs(from[i] - from[i + pixel]));
}

// How much the largest step between neighbouring pixels, summed down the rows at one column,
// stands above the median column's: where rows wrap, the right edge meets the left one.
static float seamStrength(const std::vector<uint8_t>& steps, int64_t stride, int64_t maxRows, std::vector<uint16_t>* columns)
{
    const int64_t rows = std::min<int64_t>(maxRows, static_cast<int64_t>(steps.size()) / stride - 1);
    if (rows < 8 || stride > kMaxSeamStride)
        return 0.0f;
    columns->assign(static_cast<size_t>(stride), 0);
    uint16_t* sum = columns->data();
    for (int64_t y = 0; y < rows; ++y) {
        const uint8_t* row = steps.data() + y * stride;
        for (int64_t c = 0; c < stride; ++c)
            sum[c] = static_cast<uint16_t>(sum[c] + row[c]);
    }
    const float top = static_cast<float>(*std::max_element(columns->begin(), columns->end()));
    // The median column of a few hundred spread evenly.
    const int64_t every = std::max<int64_t>(1, stride / kMedianColumns);
    int64_t kept = 0;
    for (int64_t c = 0; c < stride; c += every)
        (*columns)[static_cast<size_t>(kept++)] = (*columns)[static_cast<size_t>(c)];
    auto mid = columns->begin() + kept / 2;
    std::nth_element(columns->begin(), mid, columns->begin() + kept);
    return top / std::max(static_cast<float>(*mid), 0.5f * static_cast<float>(rows));
}

int64_t seamStride(const uint8_t* data, int64_t size, int64_t seed, int64_t lo, int64_t hi, int64_t stride,
                   int64_t pixel, int64_t lagMin, int64_t maxRows)
{
    maxRows = std::clamp<int64_t>(maxRows, 8, kMaxSeamRows);
    const int64_t reach = std::min<int64_t>((maxRows + 1) * std::min<int64_t>(std::max(hi, stride), kMaxSeamStride), size - seed - pixel);
    if (reach <= 0)
        return stride;
    std::vector<uint8_t> steps;
    seamSteps(data + seed, reach, pixel, &steps);
    std::vector<uint16_t> columns;
    int64_t best = stride;
    float strongest = seamStrength(steps, stride, maxRows, &columns), other = 0.0f;
    for (int64_t s = std::max(lo, lagMin); s <= hi; ++s) {
        if (s == stride)
            continue;
        const float strength = seamStrength(steps, s, maxRows, &columns);
        if (strength > strongest) {
            other = std::max(other, strongest);
            strongest = strength;
            best = s;
        } else {
            other = std::max(other, strength);
        }
    }
    // Smooth data shows no seam anywhere: then the stride stays as measured.
    return strongest >= kSeamStrength && strongest >= kSeamLead * other ? best : stride;
}
