// Inner loops of the finder, vectorised where the processor allows.
#pragma once

#include <cstdint>

// Bytes of readable padding sumDifferences may touch past the last lag of the last position.
constexpr int32_t kKernelPadding = 128;

// sums[k-1] = sum of |p[i] - p[i+k]| over i + 4 < n, for k = 1 to 4.
void roughness(const uint8_t* p, int64_t n, uint64_t sums[4]);

// sums[lag] = sum of min(|u[p] - u[p+lag]|, cap) over the positions p, for lag 1 to lagMax (sums
// need not be cleared first); cap is at most 15 and count at most 4369. Reads up to
// u[p + lagMax + kKernelPadding - 1].
void sumDifferences(const uint8_t* u, const int32_t* positions, int32_t count, int32_t lagMax,
                    int32_t cap, uint32_t* sums);

// sums[j] += sum of min(|u[p] - u[p + lag + j]|, cap) over the positions p, for j = 0 to 31; cap
// is at most 15 and count at most 4369. Reads up to u[p + lag + 31].
constexpr int32_t kNearLags = 32;
void sumNearDifferences(const uint8_t* u, const int32_t* positions, int32_t count, int64_t lag, int32_t cap,
                        uint32_t* sums);

// The sum of min(|a[i] - b[i]|, cap) for i below n; cap is at most 255.
uint64_t sumCappedDifferences(const uint8_t* a, const uint8_t* b, int64_t n, int32_t cap);

// For each offset o: near[k-1] += min(|u[o] - u[o + k]|, cap) for k = 1 to 5, and far[k] +=
// min(|u[o] - u[o + reach[k]]|, cap) for k = 0 to 3. Reads u[o] to u[o + 7] and the far bytes.
void sumPixelNeighbours(const uint8_t* u, const int32_t* offsets, int32_t count, const int32_t reach[4], int32_t cap,
                        int64_t near[5], int64_t far[4]);

// A mask of the 16 positions p[0..15] where a BMP, PNM, TGA, XWD or TIFF header may begin (bit k
// for p[k]; at least those): reads p[0..22].
uint32_t headerMarks(const uint8_t* p);

// "avx2", "sse2" or "scalar".
const char* kernelName();
