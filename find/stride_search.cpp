#include "find/stride_search.h"

#include <algorithm>
#include <cstdlib>

#include "find/find_kernels.h"
#include "find/sieve.h"
#include "find/tuning.h"

float meanDifference(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lag)
{
    int64_t sum = 0, n = 0;
    for (int64_t i = from; n < count && i + lag < size && i < size; i += step, ++n)
        sum += std::min(std::abs(data[i] - data[i + lag]), kDifferenceCap);
    return n > 0 ? static_cast<float>(sum) / static_cast<float>(n) : static_cast<float>(kDifferenceCap);
}

// Every step-th byte of the window's searched blocks, nudged so that rows are not always
// sampled in the same column.
static void samplePositions(const uint8_t* kinds, int64_t w0, int64_t w1, int64_t last, std::vector<int32_t>* out)
{
    out->clear();
    w1 = std::min(w1, last + 1);
    if (w1 <= w0)
        return;
    const int64_t step = std::max<int64_t>(1, (w1 - w0) / kPositions);
    uint32_t jitter = 0x9E3779B9u;
    for (int64_t p = w0; p < w1 && static_cast<int32_t>(out->size()) < kPositions; p += step) {
        jitter = jitter * 1664525u + 1013904223u;
        int64_t at = std::min(w1 - 1, p + static_cast<int64_t>((jitter >> 8) % static_cast<uint32_t>(step)));
        if (kinds[at / kBlockBytes] != kFlatBlock)
            out->push_back(static_cast<int32_t>(at));
    }
}

static bool localMinimum(const std::vector<float>& d, int64_t s, int64_t lagMax)
{
    for (int64_t k = 1; k <= 4; ++k)
        if ((s - k >= 1 && d[static_cast<size_t>(s - k)] < d[static_cast<size_t>(s)]) ||
            (s + k <= lagMax && d[static_cast<size_t>(s + k)] < d[static_cast<size_t>(s)]))
            return false;
    return true;
}

// Rows alike one row down are alike two and three rows down too: of lags as good as the best,
// the smallest that divides it is the stride.
static int64_t smallestHarmonic(const std::vector<float>& d, int64_t best, int64_t lagMin, int64_t lagMax, float base)
{
    const float limit = kHarmonicSlack * d[static_cast<size_t>(best)] + 0.02f * base;
    int64_t stride = best;
    for (int64_t k = 2; best / k >= lagMin; ++k)
        for (int64_t s = best / k - 1; s <= best / k + 1; ++s)
            if (s >= lagMin && std::abs(best - k * s) <= k && d[static_cast<size_t>(s)] <= limit &&
                localMinimum(d, s, lagMax) && s < stride)
                stride = s;
    return stride;
}

bool searchStride(const uint8_t* data, int64_t size, const uint8_t* kinds, int64_t w0, int64_t w1,
                  int64_t lagMin, int64_t lagMax, StrideScratch* s, StrideCandidate* out)
{
    lagMax = std::min(lagMax, size - w0 - kKernelPadding - 1);
    if (lagMax < lagMin + 8)
        return false;
    samplePositions(kinds, w0, w1, size - lagMax - kKernelPadding, &s->positions);
    const int32_t count = static_cast<int32_t>(s->positions.size());
    if (count < 64)
        return false;
    s->sums.assign(static_cast<size_t>(lagMax) + 1, 0);
    sumDifferences(data, s->positions.data(), count, static_cast<int32_t>(lagMax), kDifferenceCap, s->sums.data());
    std::vector<float>& d = s->sorted;
    d.resize(static_cast<size_t>(lagMax) + 1);
    for (int64_t lag = 1; lag <= lagMax; ++lag)
        d[static_cast<size_t>(lag)] = static_cast<float>(s->sums[static_cast<size_t>(lag)]) / static_cast<float>(count);
    int64_t best = -1;
    for (int64_t lag = lagMin; lag <= lagMax; ++lag)
        if ((best < 0 || d[static_cast<size_t>(lag)] < d[static_cast<size_t>(best)]) && localMinimum(d, lag, lagMax))
            best = lag;
    if (best < 0)
        return false;
    std::vector<float> others;
    for (int64_t lag = lagMin; lag <= lagMax; lag += 4)
        others.push_back(d[static_cast<size_t>(lag)]);
    auto mid = others.begin() + static_cast<std::ptrdiff_t>(others.size() / 2);
    std::nth_element(others.begin(), mid, others.end());
    const float base = *mid;
    if (base < kMinBase || d[static_cast<size_t>(best)] > kMaxDownShare * base)
        return false;
    const int64_t stride = smallestHarmonic(d, best, lagMin, lagMax, base);
    const float least = d[static_cast<size_t>(stride)];
    // Records are alike only at their exact length; a picture's rows are nearly as alike a pixel
    // aside, whatever the pixel's size. Most lookalikes end here, before the costlier stages.
    float aside = 1e9f;
    for (int64_t b = 1; b <= 4 && stride + b <= lagMax; ++b)
        aside = std::min(aside, 0.5f * (d[static_cast<size_t>(stride - b)] + d[static_cast<size_t>(stride + b)]));
    if (least < kEarlySlant * aside)
        return false;
    *out = {stride, least, base};
    return true;
}

int64_t refineStride(const uint8_t* data, int64_t size, int64_t seed, int64_t stride, int64_t lagMin)
{
    // Rows of a smooth picture are nearly as alike one pixel aslant: only many bytes of the rows
    // themselves tell the straight neighbour from the slanting ones.
    const int64_t span = std::min<int64_t>(64 * stride, 16 << 10);
    const int64_t step = std::max<int64_t>(1, 64 * stride / span);
    int64_t best = stride;
    float least = meanDifference(data, size, seed, span, step, stride);
    for (int64_t lag = std::max(lagMin, stride - 4); lag <= stride + 4; ++lag) {
        const float m = meanDifference(data, size, seed, span, step, lag);
        if (m < least - 0.005f) {
            least = m;
            best = lag;
        }
    }
    return best;
}
