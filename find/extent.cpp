#include "find/extent.h"

#include <algorithm>
#include <cstdlib>

#include "common/pixel_layouts.h"
#include "find/stride_search.h"
#include "find/tuning.h"

namespace {

struct Grid {
    const uint8_t* data;
    int64_t size;
    int64_t stride;
    int64_t half;  // half a row on, in whole pixels
    int64_t step;  // sampling step within a row
    float base;
    float share;     // of base, one row down
    float rowShare;  // of the difference half a row on, one row down
};

bool flatRow(const Grid& g, int64_t x)
{
    for (int64_t i = x + 1; i < x + g.stride; ++i)
        if (g.data[i] != g.data[x])
            return false;
    return true;
}

// Row x is alike to row x + stride: more so than to bytes half a row further, and clearly more
// than unrelated bytes are.
bool rowsAlike(const Grid& g, int64_t x)
{
    if (x < 0 || x + 2 * g.stride > g.size)
        return false;
    const int64_t samples = std::min<int64_t>(kRowSamples, g.stride / g.step);
    float down, off;
    meanDifferencePair(g.data, g.size, x, samples, g.step, g.stride, g.stride + g.half, &down, &off);
    return down <= g.rowShare * std::max(off, kMinBase) && down <= g.share * g.base + 1.0f;
}

// Walks rows from x by dir (+1 down, -1 up) while they belong; a single odd row is crossed when
// the row past it belongs, and runs of one value only up to kMaxFlatRows.
int64_t walk(const Grid& g, int64_t x, int64_t dir)
{
    int64_t flat = 0;
    for (;;) {
        const int64_t next = x + dir * g.stride;
        const int64_t pair = dir > 0 ? x : next;  // the upper row of the two compared
        if (next < 0 || next + g.stride > g.size)
            return x;
        if (flatRow(g, next) && ++flat > kMaxFlatRows)
            return x;
        if (!flatRow(g, next))
            flat = 0;
        if (rowsAlike(g, pair)) {
            x = next;
            continue;
        }
        // A single odd row (a line across the picture) belongs when the rows past it are alike.
        const int64_t beyond = next + dir * g.stride;
        if (beyond >= 0 && beyond + g.stride <= g.size && rowsAlike(g, dir > 0 ? next : beyond)) {
            x = beyond;
            continue;
        }
        return x;
    }
}

// Rows of zeros or of all ones at either end are fill beside the picture, not part of it;
// rows of another single value are the picture's plain areas.
bool fillRow(const Grid& g, int64_t x)
{
    return (g.data[x] == 0 || g.data[x] == 0xFF) && flatRow(g, x);
}

void trimFillRows(const Grid& g, int64_t* top, int64_t* bottom)
{
    while (*bottom > *top && fillRow(g, *top))
        *top += g.stride;
    while (*bottom > *top && fillRow(g, *bottom))
        *bottom -= g.stride;
}

// Without a seam, the picture begins at the byte from which bytes are alike to the ones a row
// down, which settles data that begins in the middle of a row too.
int64_t firstAlikeByte(const Grid& g, int64_t top)
{
    constexpr float kShare = 0.6f;
    float sum = 0.0f, best = 0.0f;
    int64_t start = top;
    for (int64_t i = top + g.stride - 1; i >= std::max<int64_t>(0, top - g.stride); --i) {
        sum += std::abs(g.data[i] - g.data[i + g.stride]) <= 8 ? 1.0f - kShare : -kShare;
        if (sum > best) {
            best = sum;
            start = i;
        }
    }
    return start;
}

// The bytes before start are unlike those a row below them, as where a picture follows other
// data: then start is where its first row begins.
bool clearStart(const Grid& g, int64_t start)
{
    const int64_t n = std::min<int64_t>(std::min<int64_t>(g.stride, 256), start);
    if (n < 16)
        return false;
    int64_t alike = 0;
    for (int64_t i = start - n; i < start; ++i)
        alike += std::abs(g.data[i] - g.data[i + g.stride]) <= 8;
    return alike * 10 < n * 3;
}

// Where the right edge of a row meets the left edge of the next, the step to the next pixel is
// the largest of the row in most pictures: when one column stands out so, rows begin after it.
int64_t seamColumn(const Grid& g, int64_t top, int64_t rows, int64_t pixel)
{
    if (g.stride > (64 << 10) || rows < 4)
        return -1;
    const int64_t used = std::min<int64_t>(rows - 1, 256);
    int64_t best = -1, bestStep = 0, second = 0;
    for (int64_t c = 0; c < g.stride; ++c) {
        int64_t step = 0;
        for (int64_t y = 0; y < used; ++y)
            for (int64_t k = 0; k < pixel; ++k) {
                const int64_t i = top + y * g.stride + c + k;
                step += std::abs(g.data[i] - g.data[i + pixel]);
            }
        if (step > bestStep) {
            // The same seam seen from a neighbouring byte is not a second one.
            if (best < 0 || std::abs(c - best) >= pixel)
                second = std::max(second, bestStep);
            bestStep = step;
            best = c;
        } else if (std::abs(c - best) >= pixel) {
            second = std::max(second, step);
        }
    }
    return bestStep >= 2 * second && bestStep >= 8 * used ? (best + pixel) % g.stride : -1;
}

bool highByteFirst(const Grid& g, int64_t top, int64_t rows)
{
    int64_t even = 0, odd = 0;
    const int64_t end = std::min(g.size - 2, top + std::min<int64_t>(rows, 64) * g.stride);
    for (int64_t i = top; i + 3 < end; i += 2) {
        even += std::abs(g.data[i] - g.data[i + 2]);
        odd += std::abs(g.data[i + 1] - g.data[i + 3]);
    }
    return even < odd;
}

Grid makeGrid(const uint8_t* data, int64_t size, int64_t stride, int64_t pixel, float base, float share)
{
    return {data, size, stride, pixel * std::max<int64_t>(1, stride / (2 * pixel)), std::max<int64_t>(1, stride / kRowSamples),
            base, share, std::max(kRowDownShare, share + kGrainyRowSlack)};
}

}  // namespace

bool enoughRows(const uint8_t* data, int64_t size, int64_t seed, int64_t stride, float base, float share)
{
    if (seed < 0 || stride < 1 || seed + 2 * stride > size)
        return false;
    const Grid g = makeGrid(data, size, stride, 1, base, share);
    return (walk(g, seed, +1) - walk(g, seed, -1)) / stride + 1 >= kMinRows;
}

bool growExtent(const uint8_t* data, int64_t size, int64_t seed, const Reading& reading, float base, float share, Extent* out)
{
    const int64_t stride = reading.stride;
    const int64_t pixel = std::max<int64_t>(1, kNibblesPerPixel[reading.layout] / 2);
    const Grid g = makeGrid(data, size, stride, pixel, base, share);
    if (seed < 0 || seed + 2 * stride > size)
        return false;
    int64_t top = walk(g, seed, -1);
    int64_t bottom = walk(g, seed, +1);
    trimFillRows(g, &top, &bottom);
    int64_t rows = (bottom - top) / stride + 1;
    if (rows < kMinRows)
        return false;
    // Rows begin where the padding ends; else where the picture begins after unrelated bytes;
    // else after the seam. The rows keep their end.
    const int64_t end = top + rows * stride;
    int64_t phase = reading.rowPhase;
    const int64_t first = firstAlikeByte(g, top);
    if (phase < 0 && clearStart(g, first)) {
        top = first;
    } else {
        if (phase < 0) {
            const int64_t column = seamColumn(g, top, rows, pixel);
            phase = column < 0 ? first % stride : (top + column) % stride;
        }
        int64_t shift = ((phase - top % stride) % stride + stride) % stride;
        if (shift > stride / 2 && top + shift - stride >= 0)
            shift -= stride;
        top += shift;
    }
    rows = std::min((end - top + stride / 2) / stride, (size - top) / stride);
    // 16-bit words are little-endian: their high bytes, which hold the top bits, are the smoother.
    if (pixel == 2 && top + 1 < size && highByteFirst(g, top, rows))
        top += top % 2 == 0 && top + rows * stride + 1 <= size ? 1 : -1;
    if (rows < kMinRows || top < 0)
        return false;
    const int64_t samples = std::min<int64_t>(1 << 16, rows * stride);
    *out = {top, rows, meanDifference(data, size, top, samples, std::max<int64_t>(1, rows * stride / samples), stride)};
    return true;
}
