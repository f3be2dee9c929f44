#include "find/layout_pick.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "common/pixel_layouts.h"
#include "find/find_kernels.h"
#include "find/tuning.h"

namespace {

struct Rows {
    const uint8_t* data;
    int64_t r0;
    int64_t stride;
    int64_t count;  // rows with a whole row after them
};

int capped(int a, int b)
{
    return std::min(std::abs(a - b), kDifferenceCap);
}

// Trailing bytes of every row that are zero in all rows: BMP pads rows to 4 bytes with them.
// Returns how many and the column after them (where rows begin), or 0.
int64_t zeroColumns(const Rows& r, int64_t* rowStart)
{
    // Counted row by row, which reads the bytes in order, then walked by column.
    std::vector<int32_t> zeros(static_cast<size_t>(r.stride), 0);
    for (int64_t y = 0; y < r.count; ++y) {
        const uint8_t* row = r.data + r.r0 + y * r.stride;
        for (int64_t col = 0; col < r.stride; ++col)
            zeros[static_cast<size_t>(col)] += row[col] == 0;
    }
    int64_t longest = 0, run = 0, end = -1;
    for (int64_t c = 0; c < 2 * r.stride && c < r.stride + kMaxPadBytes + 1; ++c) {
        const int64_t col = c % r.stride;
        // A row or two past the picture's end may be sampled too.
        const bool zero = r.count >= 8 && zeros[static_cast<size_t>(col)] * 10 >= r.count * 9;
        run = zero ? run + 1 : 0;
        if (run > longest) {
            longest = run;
            end = col + 1;
        }
    }
    if (longest == 0 || longest > kMaxPadBytes || longest >= r.stride / 4)
        return 0;
    *rowStart = end % r.stride;
    return longest;
}

// Capped differences summed over sampled bytes of the rows: to the byte `lag` on in the same row
// (near[lag], over counted[lag] bytes), and, for pixels of 1 to 4 bytes, to the byte half a row on
// in the same channel (far[pixel], over the bytes that count for near[pixel]). One pass for all.
struct NeighbourSums {
    int64_t near[6], counted[6], far[6];
};

// Out of line: the fuzz build leaves such plain sums untraced by name.
[[gnu::noinline]] void neighbourSums(const Rows& r, NeighbourSums* s)
{
    *s = {};
    int64_t half[6] = {0, 0, 0, 0, 0, 0};
    for (int64_t b = 1; b <= 4; ++b)
        half[b] = b * std::max<int64_t>(1, r.stride / (2 * b));
    const int64_t pixels = std::min<int64_t>(4, r.stride / 2);
    const int64_t step = std::max<int64_t>(1, r.stride * r.count / 2048);
    // Most bytes have every partner within the row: those go to the vector kernel a batch at a time.
    int32_t whole[512], wholeCount = 0;
    const int32_t reach[4] = {static_cast<int32_t>(half[1]), static_cast<int32_t>(half[2]), static_cast<int32_t>(half[3]),
                              static_cast<int32_t>(half[4])};
    int64_t wholeNear[5] = {}, wholeFar[4] = {};
    auto flush = [&] {
        sumPixelNeighbours(r.data + r.r0, whole, wholeCount, reach, kDifferenceCap, wholeNear, wholeFar);
        for (int64_t k = 1; k <= 5; ++k)
            s->counted[k] += wholeCount;
        wholeCount = 0;
    };
    for (int64_t y = 0; y < r.count; ++y)
        for (int64_t c = y % step; c + 1 < r.stride; c += step) {
            const uint8_t* p = r.data + r.r0 + y * r.stride + c;
            if (c + 5 < r.stride && pixels == 4) {
                whole[wholeCount++] = static_cast<int32_t>(y * r.stride + c);
                if (wholeCount == 512)
                    flush();
                continue;
            }
            for (int64_t k = 1; k <= 5 && c + k < r.stride; ++k) {
                s->near[k] += capped(p[0], p[k]);
                ++s->counted[k];
                if (k <= pixels)
                    s->far[k] += capped(p[0], p[half[k]]);
            }
        }
    flush();
    for (int64_t k = 1; k <= 5; ++k)
        s->near[k] += wholeNear[k - 1];
    for (int64_t k = 1; k <= 4; ++k)
        s->far[k] += wholeFar[k - 1];
}

// Grey pictures kept in 3 or 4 bytes a pixel: equal channels make runs of equal bytes whose
// lengths are multiples of three, wherever the rows begin.
bool greyInChannels(const Rows& r)
{
    int64_t runs = 0, threes = 0;
    const int64_t end = r.r0 + r.count * r.stride;
    for (int64_t i = r.r0; i < end;) {
        int64_t j = i + 1;
        while (j < end && r.data[j] == r.data[i])
            ++j;
        if (j - i >= 2 && j < end && i > r.r0) {
            ++runs;
            threes += (j - i) % 3 == 0;
        }
        i = j;
    }
    return runs >= 64 && static_cast<float>(threes) >= kGreyChannelsEqual * static_cast<float>(runs);
}

// In 4-bit pictures the two nibbles of a byte are neighbour pixels; in 8-bit ones the low nibble
// is the fine part of a level and wanders freely. Plain areas show it too: there both nibbles of
// a 4-bit byte hold one colour, while an 8-bit level rarely has equal nibbles.
bool nibblesArePixels(const Rows& r)
{
    int64_t spread = 0, changed = 0, equal = 0, counted = 0;
    int64_t high[16] = {}, low[16] = {};
    for (int64_t y = 0; y < r.count; ++y)
        for (int64_t c = 0; c + 1 < r.stride; ++c) {
            const uint8_t b = r.data[r.r0 + y * r.stride + c];
            // Zero is a sprite's backdrop, index 0, and reads as equal nibbles either way: counted,
            // its edges would pass any figure on it for 4-bit pixels.
            if (b == 0)
                continue;
            if (b != 0xFF) {
                ++counted;
                equal += (b >> 4) == (b & 15);
                ++high[b >> 4];
                ++low[b & 15];
            }
            if (b == r.data[r.r0 + y * r.stride + c + 1])
                continue;
            ++changed;
            spread += std::abs((b >> 4) - (b & 15));
        }
    const bool smooth = changed > 32 && static_cast<float>(spread) <= kMaxNibbleSpread * static_cast<float>(changed);
    const bool plain = counted > 64 && static_cast<float>(equal) >= kMinEqualNibbles * static_cast<float>(counted);
    // Two 4-bit pixels, left and right, take the same colours as often: the high and low nibbles
    // share one histogram. 8-bit indices into a few neighbouring palette entries keep the high
    // nibble at one or two values while the low one wanders (and may stay close to it).
    int64_t apart = 0;
    for (int k = 0; k < 16; ++k)
        apart += std::abs(high[k] - low[k]);
    if (counted > 64 && static_cast<float>(apart) > 2.0f * kMaxNibbleImbalance * static_cast<float>(counted))
        return false;
    return smooth || plain;
}

// A 4-bit row of odd width, as BMP writes it (the first pixel in the high nibble), leaves the low
// nibble of its last byte unused: zero in every row. column is that byte's, counted from r0.
bool lastNibbleUnused(const Rows& r, int64_t column)
{
    int64_t zero = 0;
    for (int64_t y = 0; y < r.count; ++y)
        zero += (r.data[r.r0 + y * r.stride + column] & 15) == 0;
    return r.count >= 8 && zero * 10 >= r.count * 9;
}

// How much neighbouring 16-bit pixels differ when read as 5-6-5 (or 5-5-5) channels, each
// difference as a share of its channel's range, with the low byte of each word at `phase`.
float channelSteps(const Rows& r, int64_t phase, bool green6)
{
    const int greenBits = green6 ? 6 : 5;
    float sum = 0.0f;
    int64_t n = 0;
    auto word = [&](int64_t i) { return r.data[i] | r.data[i + 1] << 8; };
    for (int64_t y = 0; y < r.count; ++y)
        for (int64_t c = phase; c + 3 < r.stride; c += 2, ++n) {
            const int a = word(r.r0 + y * r.stride + c), b = word(r.r0 + y * r.stride + c + 2);
            const int blue = std::abs((a & 31) - (b & 31));
            const int green = std::abs((a >> 5 & ((1 << greenBits) - 1)) - (b >> 5 & ((1 << greenBits) - 1)));
            const int red = std::abs((a >> (5 + greenBits) & 31) - (b >> (5 + greenBits) & 31));
            sum += static_cast<float>(blue + red) / 31.0f + static_cast<float>(green) / static_cast<float>((1 << greenBits) - 1);
        }
    return n > 0 ? sum / static_cast<float>(n) : 0.0f;
}

// 15-bit words leave their top bit clear; RGB565 uses it for red. Which byte of a word is the
// high one is not known yet: either may be. Where the top bit is rarely set (little bright red),
// the reading whose channels change more smoothly from pixel to pixel tells: read in the wrong
// one, a bit of one channel lands in another.
int32_t sixteenBitLayout(const Rows& r)
{
    int64_t set[2] = {0, 0}, total = 0;
    for (int64_t y = 0; y < r.count; ++y)
        for (int64_t c = 0; c + 1 < r.stride; c += 2, ++total)
            for (int64_t k = 0; k < 2; ++k)
                set[k] += r.data[r.r0 + y * r.stride + c + k] >> 7;
    if (std::min(set[0], set[1]) * 200 > total)
        return kColour565;
    const int64_t phase = set[0] < set[1] ? 1 : 0;  // the high byte has the clear top bit
    return channelSteps(r, phase, true) < kSixteenBitSmoother * channelSteps(r, phase, false) ? kColour565 : kColour15;
}

}  // namespace

bool pickLayout(const uint8_t* data, int64_t size, int64_t r0, int64_t stride, int64_t maxRows, Reading* out)
{
    const int64_t rows = std::min({maxRows, std::clamp<int64_t>(65536 / stride, 8, 64), (size - r0) / stride - 1});
    Rows r = {data, r0, stride, rows};
    if (r.count < 2 || stride < 2)
        return false;
    int64_t rowStart = -1;
    // Rows are padded to a multiple of 4 bytes or more; zero columns at the edge of other rows
    // are the picture's own, such as a sprite's backdrop.
    const int64_t pad = stride % 4 == 0 ? zeroColumns(r, &rowStart) : 0;
    // Bytes of the same channel of neighbour pixels are more alike than bytes of different
    // channels: the pixel's size shows as a dip in the difference at that lag. 8-bit pixels grow
    // apart steadily with distance and show none.
    NeighbourSums sums;
    neighbourSums(r, &sums);
    float lagDiff[6] = {0, 0, 0, 0, 0, 0};
    for (int64_t k = 1; k <= 5; ++k)
        lagDiff[k] = sums.counted[k] > 0 ? static_cast<float>(sums.near[k]) / static_cast<float>(sums.counted[k]) : 0.0f;
    int64_t pixel = 1;
    float deepest = kMaxPixelDip, dips[5] = {1, 1, 1, 1, 1};
    for (int64_t b = 2; b <= 4 && b <= stride / 2; ++b) {
        dips[b] = std::max(0.05f, lagDiff[b]) / std::max(0.05f, std::min(lagDiff[b - 1], lagDiff[b + 1]));
        if (dips[b] < deepest) {
            deepest = dips[b];
            pixel = b;
        }
    }
    // 16-bit pixels two apart are nearly as alike as neighbours: a dip at 4 about as deep as one
    // at 2 is that, not 32-bit pixels, whose bytes 2 apart are other channels and show no dip.
    if (pixel == 4 && dips[2] < kMaxPixelDip && dips[2] <= kPixelMultipleSlack * dips[4])
        pixel = 2;
    float ratio[5] = {0, 0, 0, 0, 0};
    for (int64_t b = 1; b <= 4 && b <= stride / 2; ++b)
        ratio[b] = sums.far[b] > 0 ? static_cast<float>(sums.near[b]) / static_cast<float>(sums.far[b]) : 1.0f;
    // Runs and nibbles are counted over a part of the rows: it tells as well.
    const Rows part = {data, r0, stride, std::min<int64_t>(rows, std::max<int64_t>(8, kLayoutBytes / stride))};
    if (stride >= 12 && greyInChannels(part))
        pixel = ratio[4] < ratio[3] ? 4 : 3;
    int32_t layout = pixel == 1 ? kGrey8 : pixel == 3 ? kColour24 : pixel == 4 ? kColour32 : kColour15;
    if (pixel == 2)
        layout = sixteenBitLayout(r);
    else if (pixel == 1 && nibblesArePixels(part))
        layout = kGrey4;
    // The pad is what the row holds beyond whole pixels; zero columns inside the pixels are
    // the picture's own.
    int64_t padBytes = 0;
    // Screens and textures are a multiple of 64 pixels wide, and their edge column may be black:
    // such a row is taken whole rather than padded.
    const bool roundWidth = stride % pixel == 0 && (stride / pixel) % 64 == 0;
    for (int64_t t = roundWidth ? 0 : pad; t >= 0; --t)
        if ((stride - t) % pixel == 0) {
            padBytes = t;
            break;
        }
    if (padBytes == 0 && stride % pixel != 0)
        padBytes = stride % pixel;
    const int64_t pixelBytes = stride - padBytes;
    int64_t width = layout == kGrey4 ? 2 * pixelBytes : pixelBytes / pixel;
    if (layout == kGrey4 && padBytes > 0 && lastNibbleUnused(r, (rowStart + pixelBytes - 1) % stride))
        --width;
    if (width < 2 || width > (int64_t{1} << 20))
        return false;
    *out = {layout, static_cast<int32_t>(width), stride, padBytes > 0 ? (r0 + rowStart) % stride : -1,
            ratio[pixel]};
    return true;
}

namespace {

struct DisplayMode {
    int32_t width, height;
};

// Sizes of displays whose width is not a multiple of 64 pixels (those are taken whole anyway).
constexpr DisplayMode kDisplayModes[] = {{800, 600},   {1024, 600},  {1152, 864},  {1280, 720},  {1280, 800},
                                         {1360, 768},  {1366, 768},  {1400, 1050}, {1440, 900},  {1600, 900},
                                         {1680, 1050}, {1920, 1080}, {1920, 1200}, {2560, 1440}, {3840, 2160}};

}  // namespace

int32_t displayWidth(int32_t layout, int32_t width, int64_t stride, int64_t rows)
{
    const int64_t pixel = kNibblesPerPixel[layout] / 2;
    if (pixel < 2 || stride % pixel != 0 || stride / pixel == width || stride / pixel - width > kMaxDisplayEdge)
        return width;
    for (const DisplayMode& mode : kDisplayModes)
        if (mode.width == stride / pixel && std::abs(rows - mode.height) <= kMaxDisplayEdge)
            return mode.width;
    return width;
}
