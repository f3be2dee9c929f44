#include "find/prune.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "common/pixel_layouts.h"
#include "find/judge_weights.h"
#include "find/stride_search.h"
#include "find/tuning.h"

namespace {

// Most regions judged are not text, and one pass over them shows it: too few printable bytes
// for one byte a character, and too few zeros in either column of two for UTF-16.
bool mayBeText(const uint8_t* p, int64_t n)
{
    // Two bytes a step and no branches, which the compiler turns into vector code.
    auto printable = [](uint8_t b) {
        return static_cast<int64_t>((static_cast<uint8_t>(b - 0x20) < 0x5F) | (b == '\n') | (b == '\r') | (b == '\t'));
    };
    int64_t plain = 0, zeros[2] = {0, 0}, i = 0;
    for (; i + 2 <= n; i += 2) {
        plain += printable(p[i]) + printable(p[i + 1]);
        zeros[0] += p[i] == 0;
        zeros[1] += p[i + 1] == 0;
    }
    if (i < n) {
        plain += printable(p[i]);
        zeros[0] += p[i] == 0;
    }
    const int64_t even = (n + 1) / 2, odd = n / 2;
    return plain * 20 >= n * 19 || zeros[1] * 20 >= even * 19 || zeros[0] * 20 >= odd * 19;
}

// Text of fixed-width lines and tables of numbers repeat at the line length and are smooth
// enough to pass for pictures; they are nearly all printable ASCII with spaces or line ends
// (in UTF-16, every other byte zero). Text without either (escaped or encoded data on one long
// line) is all printable and leaps from character to character, where a grey picture that
// happens to lie in the printable range steps smoothly.
bool looksLikeText(const uint8_t* p, int64_t n)
{
    n = std::min<int64_t>(n, 65536);
    if (!mayBeText(p, n))
        return false;
    for (int stride = 1; stride <= 2; ++stride)
        for (int phase = 0; phase < stride; ++phase) {
            int64_t printable = 0, spaces = 0, lineEnds = 0, zeros = 0, count = 0, leaps = 0;
            for (int64_t i = phase; i < n; i += stride, ++count) {
                const uint8_t b = p[i];
                printable += (b >= 0x20 && b < 0x7F) || b == '\n' || b == '\r' || b == '\t';
                spaces += b == ' ' || b == '\n';
                lineEnds += b == '\n';
                const int64_t other = phase == 0 ? i + 1 : i - 1;
                if (stride == 2 && other < n)
                    zeros += p[other] == 0;
                if (stride == 1 && i + 1 < n)
                    leaps += std::abs(p[i + 1] - b);
            }
            const bool wide = stride == 1 || zeros * 20 >= count * 19;
            if (count > 0 && wide && printable * 20 >= count * 19 && (spaces * 100 >= count * 8 || lineEnds * 200 >= count))
                return true;
            if (stride == 1 && count > 0 && printable * 100 >= count * 99 && leaps >= kTextMinLeap * count)
                return true;
        }
    return false;
}

// Share of the row's columns (byte columns, or bins of them in wide rows) whose bytes are alike
// one row down. A picture is alike everywhere; records only in their quiet fields.
float alikeColumns(const uint8_t* data, int64_t size, const Extent& e, int64_t stride, float base, float share)
{
    const int64_t bins = std::min<int64_t>(stride, 64);
    const int64_t rows = std::min<int64_t>(e.rows - 1, 256);
    // Rows of up to 1024 bytes are read whole, every bin's bytes in every row (at most 4096 of
    // them): summed a column at a time, row after row, in a loop the compiler makes vector code.
    constexpr int64_t kWholeRows = 1024;
    const bool whole = stride <= kWholeRows && rows > 0 && e.start + (rows + 1) * stride < size;
    uint32_t columns[kWholeRows];
    if (whole) {
        std::fill(columns, columns + stride, 0u);
        for (int64_t y = 0; y < rows; ++y) {
            const uint8_t* row = data + e.start + y * stride;
            for (int64_t c = 0; c < stride; ++c)
                columns[c] += static_cast<uint32_t>(std::min(std::abs(row[c] - row[c + stride]), kDifferenceCap));
        }
    }
    int64_t alike = 0, counted = 0;
    for (int64_t b = 0; b < bins; ++b) {
        const int64_t c0 = b * stride / bins, c1 = std::max(c0 + 1, (b + 1) * stride / bins);
        int64_t sum = 0, n = 0;
        if (whole) {
            for (int64_t c = c0; c < c1; ++c)
                sum += columns[c];
            n = rows * (c1 - c0);
        }
        for (int64_t y = 0; y < rows && !whole; ++y)
            for (int64_t c = c0; c < c1 && n < 4096; c += std::max<int64_t>(1, (c1 - c0) / 16)) {
                const int64_t i = e.start + y * stride + c;
                if (i + stride >= size)
                    break;
                sum += std::min(std::abs(data[i] - data[i + stride]), kDifferenceCap);
                ++n;
            }
        if (n == 0)
            continue;
        ++counted;
        alike += static_cast<float>(sum) / static_cast<float>(n) <= share * base;
    }
    return counted > 0 ? static_cast<float>(alike) / static_cast<float>(counted) : 0.0f;
}

// Share of byte columns that hold one value in every row: fields of records do, pictures do
// not (but for a padding byte or a fourth byte of 32-bit pixels). A plain background beside a
// picture in wide rows is such columns too, but many side by side repeating one pixel: those do
// not count. (Tables of codes padded with one filler show so in narrower rows.)
float constantColumns(const uint8_t* data, int64_t size, const Extent& e, int64_t stride, int64_t pixel, bool skipZeros)
{
    const int64_t rows = std::min<int64_t>(e.rows, 512);
    std::vector<bool> same(static_cast<size_t>(stride));
    for (int64_t c = 0; c < stride; ++c) {
        bool one = true;
        for (int64_t y = 1; y < rows && one; ++y) {
            const int64_t i = e.start + y * stride + c;
            one = i < size && data[i] == data[e.start + c];
        }
        same[static_cast<size_t>(c)] = one && !(skipZeros && data[e.start + c] == 0);
    }
    int64_t constant = 0;
    for (int64_t c = 0; c < stride;) {
        if (!same[static_cast<size_t>(c)]) {
            ++c;
            continue;
        }
        int64_t end = c + 1;
        while (end < stride && same[static_cast<size_t>(end)])
            ++end;
        bool plain = stride >= kPlainMinStride && end - c >= kPlainRunPixels * pixel;
        for (int64_t k = c + pixel; k < end && plain; ++k)
            plain = data[e.start + k] == data[e.start + k - pixel];
        constant += plain ? 0 : end - c;
        c = end;
    }
    return static_cast<float>(constant) / static_cast<float>(stride);
}

// Runs of zero pixels and the pixels between them over up to kBackdropBytes from `from`: a
// sprite's or an icon's backdrop is long runs around a figure that is smooth across and down, a
// table's zeros short fields or long gaps between numbers and text.
void backdropCensus(const uint8_t* data, int64_t size, int64_t from, int64_t to, int64_t stride, int64_t pixel,
                    RegionFeatures* f)
{
    to = std::min({to, from + kBackdropBytes, size - stride - pixel});
    const int64_t half = pixel * std::max<int64_t>(1, stride / (2 * pixel));
    auto zero = [&](int64_t i) {
        for (int64_t k = 0; k < pixel; ++k)
            if (data[i + k] != 0)
                return false;
        return true;
    };
    int64_t zeros = 0, runs = 0, lit = 0, litRuns = 0, sums[3] = {0, 0, 0}, pairs[3] = {0, 0, 0};
    bool seen[256] = {};
    bool before = false;  // the pixel before was zero
    for (int64_t i = from; i + pixel <= to; i += pixel) {
        const bool empty = zero(i);
        const bool first = i == from;
        if (empty) {
            ++zeros;
            runs += first || !before;
            before = true;
            continue;
        }
        ++lit;
        litRuns += first || before;
        before = false;
        for (int64_t k = 0; k < pixel; ++k)
            seen[data[i + k]] = true;
        const int64_t lags[3] = {pixel, stride, half};
        for (int j = 0; j < 3; ++j)
            if (!zero(i + lags[j]))
                for (int64_t k = 0; k < pixel; ++k) {
                    sums[j] += std::min(std::abs(data[i + k] - data[i + k + lags[j]]), kDifferenceCap);
                    ++pairs[j];
                }
    }
    auto mean = [&](int j) { return pairs[j] >= 64 ? static_cast<float>(sums[j]) / static_cast<float>(pairs[j]) : -1.0f; };
    f->zeroRun = runs > 0 ? static_cast<float>(zeros) / static_cast<float>(runs) : 0.0f;
    f->litRun = litRuns > 0 ? static_cast<float>(lit) / static_cast<float>(litRuns) : 0.0f;
    f->litAcross = mean(0);
    f->litDown = mean(1);
    f->litFar = mean(2);
    f->litValues = 0;
    for (bool v : seen)
        f->litValues += v;
}

// Over every step-th byte of [from, to): the zeros, the steps up by one to the next pixel less
// those down by one, and how many values occur. Out of line, so that the fuzz build can leave
// its plain counting untraced by name.
[[gnu::noinline]] int32_t byteCensus(const uint8_t* data, int64_t size, int64_t from, int64_t to, int64_t step, int64_t pixel,
                                     int64_t* zeros, int64_t* climbs)
{
    bool seen[256] = {};
    for (int64_t i = from; i < to; i += step) {
        *zeros += data[i] == 0;
        seen[data[i]] = true;
        const uint8_t next = i + pixel < size ? static_cast<uint8_t>(data[i + pixel] - data[i]) : 0;
        *climbs += (next == 1) - (next == 0xFF);
    }
    int32_t values = 0;
    for (bool v : seen)
        values += v;
    return values;
}

// A colour picture kept in 32 bits leaves at most one byte of its pixels (the fourth) at a few
// values; tables of little-endian numbers leave two or three so (their high bytes) while a lower
// byte varies. An icon of one dark colour, premultiplied, is the other way round: its colour bytes
// stay near zero and only the fourth, its alpha, varies. Counted over the first rows, a few pixels
// of each.
bool tableLanes(const uint8_t* data, int64_t size, const Reading& reading, const Extent& e)
{
    bool seen[4][256] = {};
    const int64_t rows = std::min<int64_t>(e.rows, 256);
    const int64_t step = std::max<int64_t>(1, reading.width / 64);
    for (int64_t y = 0; y < rows; ++y)
        for (int64_t x = 0; x < reading.width; x += step) {
            const int64_t i = e.start + y * reading.stride + 4 * x;
            if (i + 4 > size)
                break;
            for (int64_t k = 0; k < 4; ++k)
                seen[k][data[i + k]] = true;
        }
    int32_t quiet = 0, busy = 0;
    bool quietLane[4];
    for (int32_t k = 0; k < 4; ++k) {
        int32_t values = 0;
        for (bool v : seen[k])
            values += v;
        quietLane[k] = values <= kQuietLaneValues;
        quiet += quietLane[k];
        busy += values > kBusyLaneValues;
    }
    const bool darkIcon = quietLane[0] && quietLane[1] && quietLane[2] && !quietLane[3];
    return quiet >= 2 && busy >= 1 && !darkIcon;
}

// Share of 16-bit words, read as signed samples `lag` words apart, where the signal crosses zero
// on a slope that runs on before and after (four samples rising or falling through zero, the step
// across no steeper than those beside it): what sound does, and a picture's edges do not.
float slopeCrossings(const uint8_t* p, int64_t n, int64_t phase, int64_t lag)
{
    const int64_t words = (n - phase) / 2;
    if (words < 3 * lag + 64)
        return 0.0f;
    auto sample = [&](int64_t k) { return static_cast<int>(static_cast<int16_t>(p[phase + 2 * k] | p[phase + 2 * k + 1] << 8)); };
    int64_t crossings = 0;
    for (int64_t k = 0; k + 3 * lag < words; ++k) {
        const int a = sample(k), b = sample(k + lag), c = sample(k + 2 * lag), d = sample(k + 3 * lag);
        const bool up = a < b && b < 0 && c >= 0 && c < d;
        const bool down = a > b && b >= 0 && c < 0 && c > d;
        const int step = std::abs(c - b);
        crossings += (up || down) && step < 8192 && step <= 4 * std::max(std::abs(b - a), std::abs(d - c)) + 16;
    }
    return static_cast<float>(crossings) / static_cast<float>(words - 3 * lag);
}

// 16-bit sound, mono or stereo, read as 16- or 32-bit pixels; the words may start at either byte.
bool soundSamples(const uint8_t* data, int64_t size, const Reading& reading, const Extent& e)
{
    if (reading.layout != kColour15 && reading.layout != kColour565 && reading.layout != kColour32)
        return false;
    const int64_t n = std::min({kCrossingBytes, e.rows * reading.stride, size - e.start});
    float most = 0.0f;
    for (int64_t phase = 0; phase < 2; ++phase)
        for (int64_t lag = reading.layout == kColour32 ? 2 : 1; lag <= 2; ++lag)
            most = std::max(most, slopeCrossings(data + e.start, n, phase, lag));
    return most > kMaxSlopeCrossings;
}

int64_t regionEnd(const Find& f)
{
    return f.offset + f.bytes;
}

// Pieces of one picture have one layout, width and stride; their rows may be set a few bytes
// apart where each piece's start was found on its own.
// A piece whose stride was settled a pixel or two off (smooth rows are alike aslant) is still
// the same picture; the larger piece's rows are the likelier.
bool samePicture(const Find& a, const Find& b)
{
    const int64_t pixel = std::max(1, kNibblesPerPixel[a.layout] / 2);
    return a.layout == b.layout && std::abs(a.stride - b.stride) <= 2 * pixel;
}

}  // namespace

RegionFeatures measureRegion(const uint8_t* data, int64_t size, const Reading& reading, const Extent& e, float base, float share)
{
    const int64_t stride = reading.stride;
    const int64_t pixel = std::max<int64_t>(1, kNibblesPerPixel[reading.layout] / 2);
    const int64_t bytes = std::min(e.rows * stride, size - e.start);
    const int64_t samples = std::min<int64_t>(bytes, 1 << 13);
    // Not a multiple of the pixel's size, which would sample one channel only (the unused fourth
    // byte of 32-bit pixels, say).
    int64_t step = std::max<int64_t>(1, bytes / samples);
    if (pixel > 1 && step % pixel == 0)
        ++step;
    auto diff = [&](int64_t lag) { return meanDifference(data, size, e.start, samples, step, lag); };
    const float down = diff(stride);
    const float slant = 0.5f * (diff(stride - pixel) + diff(stride + pixel));
    int64_t zeros = 0, climbs = 0;
    const int32_t values = byteCensus(data, size, e.start, e.start + bytes, step, pixel, &zeros, &climbs);
    RegionFeatures f;
    f.down = down / std::max(base, kMinBase);
    f.across = reading.across;
    f.slant = (down + kAlikeFloor) / (slant + kAlikeFloor);
    f.constant = constantColumns(data, size, e, stride, pixel, false);
    f.zeros = static_cast<float>(zeros) / static_cast<float>((bytes + step - 1) / step);
    // Palette indices stand on a backdrop of index 0, icons on transparent pixels. Measured only
    // where the limits on zeros and constant columns would otherwise hold the rows back.
    f.constantLit = f.constant;
    f.zeroRun = f.litRun = 0.0f;
    f.litAcross = f.litDown = f.litFar = -1.0f;
    f.litValues = 0;
    if ((reading.layout == kGrey8 || reading.layout == kColour32) &&
        (f.zeros > kNarrowMaxZeros || f.constant > kMaxConstantNarrow)) {
        f.constantLit = constantColumns(data, size, e, stride, pixel, true);
        backdropCensus(data, size, e.start, e.start + bytes, stride, pixel, &f);
    }
    f.alike = alikeColumns(data, size, e, stride, base, share);
    f.ramp = static_cast<float>(climbs) / static_cast<float>((bytes + step - 1) / step);
    f.values = values;
    return f;
}

namespace {

// The hand-set rules over the measures: their score, 0 when they turn the region down.
float handScore(const RegionFeatures& f, const Reading& reading, const Extent& extent, float share, bool lanes)
{
    const int64_t bytes = extent.rows * reading.stride;
    // A picture is nearly as alike one row down and a pixel aside as straight down; records are
    // alike only at the exact record length.
    // Sprites of palette indices stand on a backdrop of index 0: long runs of zeros around the
    // figure, which leave whole columns zero at the edges.
    const bool icon = reading.layout == kColour32;
    const bool backdrop = (reading.layout == kGrey8 || icon) && f.zeroRun >= (icon ? kMinIconBackdropRun : kMinBackdropRun) &&
                          f.litRun >= (icon ? kMinIconFigureRun : kMinFigureRun) &&
                          f.litAcross >= 0.0f && f.litAcross <= kMaxBackdropAcross && f.litValues >= kMinBackdropValues &&
                          (f.litFar < 0.0f || f.litDown <= f.litFar) && f.litDown <= kBackdropDownAcross * f.litAcross + 1.0f;
    const float maxZeros = backdrop ? kMaxBackdropZeros : kMaxZeros;
    const float constant = backdrop ? f.constantLit : f.constant;
    if (f.slant < kMinSlant[reading.layout] || f.zeros > maxZeros ||
        f.alike < (reading.stride < kNarrowStride ? kMinAlikeColumns : kMinAlikeColumnsWide))
        return 0.0f;
    if (constant > (reading.stride < kNarrowStride ? kMaxConstantNarrow : kMaxConstantColumns))
        return 0.0f;
    if (lanes)
        return 0.0f;
    // Narrow rows are where records live: a narrow picture must be tall, smooth across and dense.
    if (reading.stride < kNarrowStride &&
        (extent.rows < kNarrowMinRows || f.across > kNarrowMaxAcross || f.zeros > (backdrop ? maxZeros : kNarrowMaxZeros)))
        return 0.0f;
    // Grainy pictures must be pictures in every other way; the fourth byte of 32-bit pixels is
    // one value in most of them.
    const bool grainy = f.down > kGrainyDown || share > kMaxDownShare;
    const float unused = reading.layout == kColour32 ? 0.25f : 0.0f;
    if (grainy && (f.slant < kGrainyMinSlant || f.constant > kGrainyMaxConstant + unused || f.zeros > kGrainyMaxZeros ||
                   f.values < kGrainyMinValues || extent.rows < 2 * kMinRows ||
                   (share > kMaxDownShare && bytes < kGrainyMinBytes)))
        return 0.0f;
    // Smooth down, smooth across and alike aslant: the more of each, the surer. A grainy picture
    // that passed the tests above is one, however little smooth.
    const float score = (1.0f - std::min(1.0f, f.down)) * std::min(1.0f, f.slant) * (1.0f - 0.4f * std::min(1.0f, f.across));
    if (grainy)
        return std::max(score, kMinScore);
    return score >= kMinScore ? score : 0.0f;
}

float logScale(float v, float full)
{
    return std::min(1.0f, std::log2(1.0f + std::max(0.0f, v)) / full);
}

// Every measure brought to about 0 to 1, so that one weight each suffices.
void judgeFeatures(const RegionFeatures& f, const Reading& reading, const Extent& extent, float share, float hand, bool lanes,
                   float* x)
{
    const bool lit = f.litAcross >= 0.0f;
    const float v[kJudgeFeatures] = {
        hand > 0.0f ? 1.0f : 0.0f,
        hand,
        std::min(f.down, 2.0f) / 2.0f,
        std::min(f.across, 2.0f) / 2.0f,
        std::min(f.slant, 2.0f) / 2.0f,
        f.constant,
        f.constantLit,
        f.alike,
        f.zeros,
        std::clamp(f.ramp, -0.2f, 0.2f) * 5.0f,
        logScale(static_cast<float>(f.values), 8.0f),
        logScale(f.zeroRun, 8.0f),
        logScale(f.litRun, 8.0f),
        lit ? 1.0f : 0.0f,
        lit ? f.litAcross / kDifferenceCap : 0.0f,
        f.litDown >= 0.0f ? f.litDown / kDifferenceCap : 0.0f,
        f.litFar >= 0.0f ? f.litFar / kDifferenceCap : 0.0f,
        logScale(static_cast<float>(f.litValues), 8.0f),
        share,
        logScale(static_cast<float>(extent.rows), 14.0f),
        logScale(static_cast<float>(reading.width), 14.0f),
        reading.stride < kNarrowStride ? 1.0f : 0.0f,
        lanes ? 1.0f : 0.0f,
        f.down > kGrainyDown || share > kMaxDownShare ? 1.0f : 0.0f,
        lit && f.litFar > 0.0f ? std::min(2.0f, f.litDown / f.litFar) / 2.0f : 0.0f,
        std::min(f.down, 2.0f) * std::min(f.across, 2.0f) / 4.0f,
        reading.layout == kGrey4 ? 1.0f : 0.0f,
        reading.layout == kGrey8 ? 1.0f : 0.0f,
        reading.layout == kColour15 ? 1.0f : 0.0f,
        reading.layout == kColour24 ? 1.0f : 0.0f,
        reading.layout == kColour32 ? 1.0f : 0.0f,
        reading.layout == kColour565 ? 1.0f : 0.0f,
    };
    std::copy(v, v + kJudgeFeatures, x);
}

}  // namespace

float judgeLikelihood(const float* x)
{
    float sum = kJudgeOutputBias;
    for (int32_t j = 0; j < kJudgeHidden; ++j) {
        float unit = kJudgeInputBias[j];
        for (int32_t i = 0; i < kJudgeFeatures; ++i)
            unit += kJudgeInput[i][j] * x[i];
        sum += kJudgeOutput[j] * std::tanh(unit);
    }
    return 1.0f / (1.0f + std::exp(-sum));
}

float judgeRegion(const uint8_t* data, int64_t size, const Reading& reading, const Extent& extent, float base, float share,
                  float* features)
{
    if (features)
        std::fill(features, features + kJudgeFeatures, std::nanf(""));
    const int64_t bytes = extent.rows * reading.stride;
    if (reading.stride < kMinStride || reading.width < kMinWidth)
        return 0.0f;
    if (looksLikeText(data + extent.start, std::min(bytes, size - extent.start)))
        return 0.0f;
    const RegionFeatures f = measureRegion(data, size, reading, extent, base, share);
    // Tables of code points and indices count up by one from entry to entry; pictures step up
    // and down alike.
    if (f.ramp > kMaxRamp || soundSamples(data, size, reading, extent))
        return 0.0f;
    const bool lanes = reading.layout == kColour32 && tableLanes(data, size, reading, extent);
    const float hand = handScore(f, reading, extent, share, lanes);
    float x[kJudgeFeatures];
    judgeFeatures(f, reading, extent, share, hand, lanes, x);
    if (features)
        std::copy(x, x + kJudgeFeatures, features);
    // What the rules accept stays, ordered by the learned likelihood; what they turn down is taken
    // when the likelihood is high (sprites mostly of their backdrop, frames grown short). As the
    // only gate it turned away real cursors and 4-bit pictures, of which the corpora it learned
    // from hold few.
    if (!kJudgeTrained)
        return hand;
    const float likelihood = judgeLikelihood(x);
    if (hand > 0.0f)
        return std::max(kMinJudged, likelihood);
    return likelihood >= kJudgeRescue ? likelihood : 0.0f;
}

// The part of the rank that a find's size gives. The rules' own score told pictures from
// lookalikes poorly, and size did most of the ranking; the learned likelihood tells them apart
// better (small sprites and icons included), so size weighs less beside it.
static float sizeWeight(int64_t rows, int64_t width)
{
    const float side = static_cast<float>(std::max<int64_t>(1, std::min(rows, width)));
    const float height = std::min(1.0f, std::log2(side) / kRankFullRows);
    return kJudgeTrained ? std::sqrt(height) : height * height;
}

float rankScore(float quality, int64_t rows, int64_t width)
{
    const float q = std::clamp(quality, 0.0f, 1.0f);
    return sizeWeight(rows, width) * (kJudgeTrained ? q : std::sqrt(std::sqrt(q)));
}

float rankAt(const Find& f, int64_t rows, int64_t width)
{
    const float weight = sizeWeight(f.height, f.width);
    return weight > 0.0f ? std::min(1.0f, f.score / weight * sizeWeight(rows, width)) : f.score;
}

// How far past a find the next piece of the same reading may begin and still be joined to it: a
// few rows, or as far as the find is long for one of the look (sprite frames back to back, each
// found only where its rows are alike, with the frame's busier rows and header between them).
int64_t joinReach(const Find& a)
{
    return a.stored ? 4 * a.stride : std::max(4 * a.stride, std::min(a.bytes, kMaxJoinGap));
}

bool mayGrowPast(const Find& a, int64_t from)
{
    return regionEnd(a) + joinReach(a) >= from;
}

void mergeFinds(std::vector<Find>* finds)
{
    std::sort(finds->begin(), finds->end(), [](const Find& a, const Find& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.bytes > b.bytes;
    });
    std::vector<Find> out;
    for (const Find& f : *finds) {
        if (out.empty()) {
            out.push_back(f);
            continue;
        }
        Find& last = out.back();
        // Two stored pictures are two headers' pictures, however alike their rows.
        if (samePicture(last, f) && !(last.stored && f.stored) && f.offset <= regionEnd(last) + joinReach(last)) {
            // Whole rows of the first piece's grid that end within the two.
            const int64_t end = std::max(regionEnd(last), regionEnd(f));
            if (f.bytes > last.bytes) {
                last.stride = f.stride;
                last.width = f.width;
            }
            if (f.stored && !last.stored) {
                last.bottomUp = f.bottomUp;
                last.order = f.order;
            }
            last.stored = last.stored || f.stored;
            const int64_t row = rowBytes(last.layout, last.width);
            const int64_t rows = std::min<int64_t>(INT32_MAX, (end - last.offset - row) / last.stride + 1);
            // Pieces seen from different chunks rank as the whole picture would, so that how the
            // file was cut does not show in the score.
            last.score = std::max(rankAt(last, rows, last.width), rankAt(f, rows, f.width));
            last.height = static_cast<int32_t>(rows);
            last.bytes = (rows - 1) * last.stride + row;
            continue;
        }
        if (f.offset < regionEnd(last)) {
            const int64_t overlap = std::min(regionEnd(last), regionEnd(f)) - f.offset;
            // A stored picture's header tells its reading: what lies mostly inside it is another
            // reading of it, and what reaches well past it holds other bytes too. Two stored
            // pictures both stay: a piece joined to one may reach over the next until settled.
            if (last.stored && !f.stored && 2 * overlap >= f.bytes)
                continue;
            if (f.stored && !last.stored && 2 * overlap >= last.bytes) {
                last = f;
                continue;
            }
            if (last.stored || f.stored) {
                out.push_back(f);
                continue;
            }
            if (2 * overlap >= std::min(f.bytes, last.bytes)) {
                // Two readings of mostly the same bytes: the surer one stays.
                if (f.score > last.score)
                    last = f;
                continue;
            }
        }
        out.push_back(f);
    }
    // Screens are judged whole, once their pieces are joined.
    for (Find& f : out)
        if (!f.stored) {
            f.width = displayWidth(f.layout, f.width, f.stride, f.height);
            f.bytes = (f.height - 1) * f.stride + rowBytes(f.layout, f.width);
        }
    finds->swap(out);
}
