// Stage 2: the row stride of a window, the lag at which bytes are most alike one row down.
#pragma once

#include <cstdint>
#include <vector>

struct StrideCandidate {
    int64_t stride;  // bytes from one row to the next
    float down;      // mean capped difference one stride on
    float base;      // the median of that mean over all lags: what unrelated bytes give
    // How far the least difference at lags up to kSmallWindowMaxLag lies below base, in median
    // deviations: where a smaller picture may hide in part of the window. Set on failure too.
    float shortLead;
};

struct StrideScratch {
    std::vector<int32_t> positions;
    std::vector<uint8_t> quiet;
    std::vector<uint32_t> sums;
    std::vector<float> levels;
    std::vector<float> means;
};

// Looks at lags lagMin to lagMax from bytes sampled in [w0, w1) of data, skipping cells of noise
// or of one value. Partners may lie past w1, up to size. False when no lag stands out as a row
// stride.
bool searchStride(const uint8_t* data, int64_t size, int64_t w0, int64_t w1,
                  int64_t lagMin, int64_t lagMax, StrideScratch* scratch, StrideCandidate* out);

// Mean of min(|d[i] - d[i + lag]|, cap) over count bytes from every step-th byte of [from, ...),
// as far as size allows.
float meanDifference(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lag);

// meanDifference at two lags (of 0 or more) in one pass over the bytes.
void meanDifferencePair(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lagA,
                        int64_t lagB, float* a, float* b);

// meanDifference at lags lo to lo + lags - 1 (at most kMaxBatchLags) into out, in one pass.
constexpr int32_t kMaxBatchLags = 33;
void meanDifferences(const uint8_t* data, int64_t size, int64_t from, int64_t count, int64_t step, int64_t lo,
                     int32_t lags, float* out);

// The lag within a few bytes of stride most alike over `rows` rows from seed: the sample a
// stride was found from misses wide rows by a pixel or two.
int64_t refineStride(const uint8_t* data, int64_t size, int64_t seed, int64_t stride, int64_t rows, int64_t lagMin);

// Of the lags lo to hi, the one whose rows wrap at one column (a seam where the right edge meets
// the left) over up to maxRows rows (8 to 256) from seed, when one stands out; else stride.
// Pictures slanting smoothly are as alike a pixel aslant as straight down, and only the seam
// tells their rows; the more rows, the surer, since a picture's edges may match in some of them.
int64_t seamStride(const uint8_t* data, int64_t size, int64_t seed, int64_t lo, int64_t hi, int64_t stride,
                   int64_t pixel, int64_t lagMin, int64_t maxRows);
