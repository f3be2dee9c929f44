// The raster finder.
//
// How it works. A raw picture differs from the other contents of a dump in one way that is cheap
// to test: a pixel is like its neighbour across AND like the pixel one row down, one width further
// on, and much less like pixels at other distances. Noise and compressed data are like nothing;
// text, code, audio and zeros are alike along one dimension only, or at no particular distance.
//
// 1. Sieve (every byte, at memory speed). The range is cut into 4 KiB blocks. For each block the
//    mean of |b[i] - b[i+k]| for k = 1, 2, 3 is taken with SAD instructions; noise and compressed
//    data give about 85 at every k, a picture of any layout far less at the k of its pixel size.
//    Blocks below the limit, and not all one value, form runs; only runs are looked at again.
// 2. Lag search. Runs are cut into 256-byte cells and stretches of smooth cells into windows of
//    up to 128 KiB, read as bytes and, for 4-bit pictures, as nibbles. A few hundred positions p
//    are sampled in the window's quietest cells (so that a picture beside text is measured on its
//    own), and for every lag d up to the widest row the mean of min(|u[p] - u[p+d]|, 15) is taken
//    in one vector pass. For each layout, the lags that are whole rows (width x pixel size) are
//    compared with their median: a picture's width stands far below it. Multiples of the width
//    do too, so the smallest width nearly as good is kept; then its neighbours are measured
//    exactly, and where one of them makes the rows line up (the step from a row's right edge to
//    the next row's left edge falls in one column, the "seam"), that one is the width.
//    A window holds a picture when rows are much more alike than the median lag, neighbour pixels
//    are too, and not much less so than rows (arrays of records repeat one record down but differ
//    across); its row length must be whole pixels of the layout. The layout whose neighbour
//    pixels are most alike wins: a 24-bit picture read as 8-bit compares red with green. 15-bit
//    pixels must also be alike across when taken apart into colours, which 16-bit fields are not.
// 3. Extent. From the window's most self-similar row, rows are added up and down while each is
//    like its neighbour (bytes within 8, nibbles within 1) and clearly more so than half a row
//    across; past an edge spanning a whole row, a row belongs when it is like the next one. The
//    first and last rows are cut at the unit where the run of alike units begins or ends, then
//    set on the rows' seam where there is one, which also handles data beginning mid-row. Rows of
//    zeros or 0xFF at either end are fill, not picture; blocks of rows at either end that differ
//    across nearly as much as half a row on are records; regions that read as text are dropped.
// 4. Finds with the same layout and width that overlap, or lie a few rows apart on one grid of
//    rows, are one picture and are joined; of other overlaps the larger stays.
//
// Files are read a window at a time (8 MiB for the sieve, at most 32 MiB plus margins for the lag
// search) on several threads, so memory does not grow with the file.
#include "find/find.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

#include "common/raw_file.h"
#include "find/find_kernels.h"

namespace {

constexpr int64_t kBlockBytes = 4096;
constexpr int64_t kCellBytes = 256;
constexpr uint64_t kBlockSmoothLimit = 52;  // mean |b[i]-b[i+k]|; noise gives 85
constexpr uint64_t kCellSmoothLimit = 48;
constexpr int64_t kMinSegmentBytes = 512;
constexpr int32_t kSimilarBytes = 8;
constexpr int32_t kSimilarNibbles = 1;
constexpr int32_t kPositions = 512;
constexpr int64_t kWindowBytes = 64 << 10;
constexpr int64_t kWholeWindowBytes = 128 << 10;
constexpr int64_t kHalfWindowMinBytes = 8 << 10;
constexpr int64_t kExactUnits = 16 << 10;
constexpr int64_t kChunkBytes = 8 << 20;
constexpr int64_t kPieceBytes = 32 << 20;
constexpr int64_t kMarginBytes = 48 << 10;
constexpr int32_t kMinRows = 3;
constexpr int64_t kMaxFlatCells = 256;  // 64 KiB of one value still joins two smooth stretches

// Differences are capped, so that a stretch of noise in a window weighs no more than this.
constexpr int kDifferenceCap = 15;
// Acceptance, as mean differences over the median of the other widths' (bytes, nibbles).
constexpr float kMaxDown = 0.45f;             // one row down
constexpr float kMaxAcross = 0.6f;            // one pixel across
constexpr float kMaxAcrossOverDown = 0.45f;   // records: alike down, unlike across
constexpr float kRowContrast = 0.6f;          // a row down against half a row across
constexpr float kMaxColourAcross = 0.45f;     // 15-bit: next pixel against one far off
constexpr int64_t kRecordBlockUnits = 4096;
constexpr float kRecordAcross = 0.5f;         // next pixel against half a row on, over a block
constexpr float kRecordDown = 0.25f;          // and one row down: records vary down too
const float kMinBase[2] = {1.0f, 0.3f};       // below, nearly everything is one value

// The layouts this search knows.
constexpr int32_t kFindLayoutCount = 4;

// Units per pixel: layout 0 is searched as nibbles, the others as bytes.
const int32_t kUnitsPerPixel[kFindLayoutCount] = {1, 1, 2, 3};

struct Units {
    const uint8_t* bytes;
    int64_t count;
    bool nibbles;
};

int unitAt(const Units& u, int64_t i)
{
    if (!u.nibbles)
        return u.bytes[i];
    return (u.bytes[i >> 1] >> ((i & 1) << 2)) & 15;
}

int tolerance(const Units& u)
{
    return u.nibbles ? kSimilarNibbles : kSimilarBytes;
}

bool alike(const Units& u, int64_t a, int64_t b, int within)
{
    int d = unitAt(u, a) - unitAt(u, b);
    return (d < 0 ? -d : d) <= within;
}

bool alike(const Units& u, int64_t a, int64_t b)
{
    return alike(u, a, b, tolerance(u));
}

// Fraction of the units of [x, x+n) within `within` of the unit lag further on.
float alikeFraction(const Units& u, int64_t x, int64_t n, int64_t lag, int within)
{
    int64_t hits = 0;
    for (int64_t i = x; i < x + n; ++i)
        hits += alike(u, i, i + lag, within);
    return n > 0 ? static_cast<float>(hits) / static_cast<float>(n) : 0.0f;
}

float alikeFraction(const Units& u, int64_t x, int64_t n, int64_t lag)
{
    return alikeFraction(u, x, n, lag, tolerance(u));
}

// Fraction of [x, x+n) that is one value: rows of zeros are no evidence of a picture.
float flatFraction(const Units& u, int64_t x, int64_t n)
{
    int64_t same = 0;
    int first = unitAt(u, x);
    for (int64_t i = x; i < x + n; ++i)
        same += unitAt(u, i) == first;
    return n > 0 ? static_cast<float>(same) / static_cast<float>(n) : 1.0f;
}

enum Texture { kRough, kSmooth, kFlat };

Texture textureOf(const uint8_t* p, int64_t n, uint64_t limit)
{
    if (n < 16)
        return kRough;
    uint64_t sums[3];
    roughness(p, n, sums);
    if (sums[0] == 0)
        return kFlat;
    uint64_t least = std::min({sums[0], sums[1], sums[2]});
    return least < limit * static_cast<uint64_t>(n - 3) ? kSmooth : kRough;
}

struct Run {
    int64_t start;
    int64_t end;
};

// Appends the runs of smooth blocks of [0, n) at data, at file offset base.
// Appends the runs of smooth blocks of [0, n) at data, at file offset base. A run goes on over
// one rough block or a few flat ones, which are often the plain areas of one picture.
void sieve(const uint8_t* data, int64_t n, int64_t base, std::vector<Run>* runs)
{
    int64_t rough = 0, flat = 0;
    bool open = false;
    for (int64_t b = 0; b < n; b += kBlockBytes) {
        int64_t len = std::min(kBlockBytes, n - b);
        Texture t = textureOf(data + b, len, kBlockSmoothLimit);
        if (t == kRough) {
            open = open && ++rough <= 1;
            continue;
        }
        if (t == kFlat) {
            open = open && ++flat <= kMaxFlatCells * kCellBytes / kBlockBytes;
            continue;
        }
        if (open && !runs->empty())
            runs->back().end = base + b + len;
        else
            runs->push_back({base + b, base + b + len});
        open = true;
        rough = flat = 0;
    }
}

struct Candidate {
    int32_t layout;
    int32_t width;
    int64_t seed;       // first unit of a row inside the picture, in the buffer's units
    float downAlike;    // fraction of units alike to the one a row down
    float acrossAlike;  // fraction alike to the next pixel's
    float score;
    float merit;        // lower is better
    float base;         // mean difference at other widths
};

struct Scratch {
    std::vector<uint8_t> units;
    std::vector<int32_t> positions;
    std::vector<uint32_t> counts;
    std::vector<float> alikeAt;
    std::vector<float> sorted;
    std::vector<Run> quiet;
};

float median(std::vector<float>* values)
{
    auto mid = values->begin() + static_cast<std::ptrdiff_t>(values->size() / 2);
    std::nth_element(values->begin(), mid, values->end());
    return *mid;
}

// Mean of min(|u[i] - u[i+lag]|, cap) over the parts of the ranges where i + lag < u.count, up
// to `most` units.
float meanDifference(const Units& u, const std::vector<Run>& ranges, int64_t lag, int64_t most = INT64_MAX)
{
    int64_t sum = 0, n = 0;
    for (const Run& r : ranges) {
        int64_t end = std::min(r.end, u.count - lag);
        if (most - n < end - r.start)
            end = r.start + std::max<int64_t>(0, most - n);
        for (int64_t i = r.start; i < end; ++i) {
            int d = unitAt(u, i) - unitAt(u, i + lag);
            sum += std::min(d < 0 ? -d : d, kDifferenceCap);
        }
        n += std::max<int64_t>(0, end - r.start);
    }
    return n > 0 ? static_cast<float>(sum) / static_cast<float>(n) : 0.0f;
}

// The quiet cells of the window [w0, w1), as ranges of units: those much smoother than most. A
// picture beside text or code then speaks for itself instead of being averaged with them.
void quietRanges(const uint8_t* data, int64_t w0, int64_t w1, bool nibbles, Scratch* s)
{
    std::vector<float>& levels = s->sorted;
    levels.clear();
    for (int64_t c = w0; c < w1; c += kCellBytes) {
        uint64_t sums[3];
        int64_t n = std::min(kCellBytes, w1 - c);
        roughness(data + c, n, sums);
        // Plain cells say nothing about a width; they count only when everything is plain.
        levels.push_back(n > 3 && sums[0] > 0
                             ? static_cast<float>(std::min({sums[0], sums[1], sums[2]})) / static_cast<float>(n - 3)
                             : 1e9f);
    }
    std::vector<float> order;
    for (float level : levels)
        if (level < 1e9f)
            order.push_back(level);
    float limit = 2e9f;
    if (!order.empty()) {
        std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(order.size() / 10), order.end());
        limit = 2.0f * order[order.size() / 10] + 3.0f;
    }
    const int64_t scale = nibbles ? 2 : 1;
    s->quiet.clear();
    for (size_t k = 0; k < levels.size(); ++k) {
        if (levels[k] > limit)
            continue;
        int64_t a = static_cast<int64_t>(k) * kCellBytes * scale;
        int64_t b = std::min(w1 - w0, static_cast<int64_t>(k + 1) * kCellBytes) * scale;
        if (!s->quiet.empty() && s->quiet.back().end == a)
            s->quiet.back().end = b;
        else
            s->quiet.push_back({a, b});
    }
}

// The left edge of a picture's rows seldom matches its right edge, so where a row ends and the
// next begins, the step to the next pixel is larger than anywhere else in the row. Over rows
// `width` pixels long from x0, returns the pixel column after which that step is largest, and how
// many times the next largest step it is (0 when no column stands out). At a width one pixel off,
// the seam drifts a column per row and no column stands out.
// The step from the pixel at a to the pixel at b: the sum of the channels' differences, with
// 15-bit pixels taken apart into their fields (scaled to bytes) and 4-bit ones scaled alike.
int pixelStep(const Units& u, int64_t a, int64_t b, int32_t layout)
{
    if (layout == 2) {
        int p = u.bytes[a] | u.bytes[a + 1] << 8, q = u.bytes[b] | u.bytes[b + 1] << 8;
        int step = 0;
        for (int shift = 0; shift < 15; shift += 5)
            step += std::abs((p >> shift & 31) - (q >> shift & 31));
        return step * 8;
    }
    int step = 0;
    for (int32_t k = 0; k < kUnitsPerPixel[layout]; ++k)
        step += std::abs(unitAt(u, a + k) - unitAt(u, b + k));
    return layout == 0 ? step * 16 : step;
}

float findSeam(const Units& u, int64_t x0, int64_t rows, int64_t width, int32_t layout, int64_t* column)
{
    const int32_t pixel = kUnitsPerPixel[layout];
    const int64_t row = width * pixel;
    rows = std::min(rows, (u.count - x0 - pixel) / row);
    if (rows < 4 || width < 4)
        return 0.0f;
    std::vector<int64_t> steps(static_cast<size_t>(width), 0);
    const int64_t rowStep = std::max<int64_t>(1, rows / 256);
    int64_t sampled = 0;
    for (int64_t y = 0; y < rows; y += rowStep, ++sampled)
        for (int64_t x = 0; x < width; ++x) {
            int64_t a = x0 + y * row + x * pixel;
            steps[static_cast<size_t>(x)] += pixelStep(u, a, a + pixel, layout);
        }
    size_t top = 0;
    for (size_t x = 1; x < steps.size(); ++x)
        if (steps[x] > steps[top])
            top = x;
    int64_t second = 0;
    for (size_t x = 0; x < steps.size(); ++x)
        if (x != top)
            second = std::max(second, steps[x]);
    *column = static_cast<int64_t>(top);
    if (steps[top] < 6 * sampled)
        return 0.0f;
    return static_cast<float>(steps[top]) / static_cast<float>(std::max<int64_t>(1, second));
}

// For 15-bit pixels: the step to the next pixel over the step to the pixel a row and a half on,
// in the colours taken apart, from whichever byte the pixels start at.
float colourAcross(const Units& u, const std::vector<Run>& ranges, int32_t width)
{
    const int64_t distant = 2 * (int64_t{width} + width / 2);
    float least = 1e9f;
    for (int64_t phase = 0; phase < 2; ++phase) {
        int64_t across = 0, apart = 0, n = 0;
        for (const Run& r : ranges)
            for (int64_t i = r.start + phase; i + distant + 2 <= u.count && i < r.end && n < kExactUnits; i += 2, ++n) {
                across += pixelStep(u, i, i + 2, 2);
                apart += pixelStep(u, i, i + distant, 2);
            }
        if (apart > 0)
            least = std::min(least, static_cast<float>(across) / static_cast<float>(apart));
    }
    return least;
}

// Looks for the best layout and width in the window [w0, w1) of data.
bool searchWindow(const uint8_t* data, int64_t size, int64_t w0, int64_t w1, const FindOptions& options,
                  Scratch* s, Candidate* best)
{
    bool found = false;
    for (int space = 0; space < 2; ++space) {
        bool nibbles = space == 1;
        const int64_t scale = nibbles ? 2 : 1;
        uint32_t mask = options.layouts & (nibbles ? 1u : 0xEu);
        if (!mask)
            continue;
        int64_t lagWanted = 0;
        for (int32_t l = 0; l < kFindLayoutCount; ++l)
            if (mask >> l & 1)
                lagWanted = std::max<int64_t>(lagWanted, int64_t{options.maxWidth} * kUnitsPerPixel[l]);
        // Positions lie in the window; the units they are compared with may lie past its end, so
        // that a picture at the end of a window is measured as well as one at its start.
        const int64_t windowBytes = w1 - w0;
        const int64_t bytes = std::min(size - w0, windowBytes + (lagWanted + 1) / scale + 1);
        const int64_t n = bytes * scale;
        s->units.assign(static_cast<size_t>(n + kKernelPadding), 0);
        for (int64_t i = 0; i < bytes; ++i) {
            uint8_t b = data[w0 + i];
            if (nibbles) {
                s->units[static_cast<size_t>(2 * i)] = b & 15;
                s->units[static_cast<size_t>(2 * i + 1)] = b >> 4;
            } else {
                s->units[static_cast<size_t>(i)] = b;
            }
        }
        const int64_t windowUnits = windowBytes * scale;
        int32_t lagMax = static_cast<int32_t>(std::min(lagWanted, std::max(n - windowUnits, windowUnits / 2)));
        if (lagMax < options.minWidth)
            continue;
        // Sample positions in the quiet cells whose partners lie in the units at hand.
        int64_t span = std::min(windowUnits, n - lagMax);
        quietRanges(data, w0, w1, nibbles, s);
        int64_t quietUnits = 0;
        for (const Run& r : s->quiet)
            quietUnits += std::max<int64_t>(0, std::min(r.end, span) - r.start);
        if (quietUnits < 256) {
            s->quiet.assign(1, {0, windowUnits});
            quietUnits = span;
        }
        int32_t count = static_cast<int32_t>(std::min<int64_t>(kPositions, quietUnits));
        s->positions.clear();
        // Every step-th quiet unit, moved by a little jitter so that rows are not sampled in one
        // column only.
        uint32_t jitter = 0x9E3779B9u;
        const int64_t step = std::max<int64_t>(1, quietUnits / count);
        int64_t walked = 0, target = 0;
        for (const Run& r : s->quiet) {
            int64_t len = std::max<int64_t>(0, std::min(r.end, span) - r.start);
            for (; target < walked + len && static_cast<int32_t>(s->positions.size()) < count; target += step) {
                jitter = jitter * 1664525u + 1013904223u;
                int64_t offset = std::min(len - 1, target - walked + (jitter >> 8) % step);
                s->positions.push_back(static_cast<int32_t>(r.start + offset));
            }
            walked += len;
        }
        count = static_cast<int32_t>(s->positions.size());
        if (count == 0)
            continue;
        s->counts.assign(static_cast<size_t>(lagMax) + 1, 0);
        sumDifferences(s->units.data(), s->positions.data(), count, lagMax, kDifferenceCap, s->counts.data());
        Units window = {data + w0, n, nibbles};

        for (int32_t layout = 0; layout < kFindLayoutCount; ++layout) {
            if (!(mask >> layout & 1))
                continue;
            const int32_t upp = kUnitsPerPixel[layout];
            const int32_t hi = std::min(options.maxWidth, lagMax / upp);
            const int32_t lo = options.minWidth;
            if (hi < lo)
                continue;
            std::vector<float>& diff = s->alikeAt;
            diff.assign(static_cast<size_t>(hi) + 1, 0.0f);
            s->sorted.clear();
            // The best width is a dip: lower than the widths either side of it. Smooth data is
            // more alike the nearer, so without that the narrowest width allowed would always win.
            auto diffAt = [&](int64_t w) {
                return static_cast<float>(s->counts[static_cast<size_t>(w * upp)]) / static_cast<float>(count);
            };
            int32_t top = -1;
            for (int32_t w = lo; w <= hi; ++w) {
                float d = diffAt(w);
                diff[static_cast<size_t>(w)] = d;
                s->sorted.push_back(d);
                bool dip = (w == 1 || d <= diffAt(w - 1)) && (int64_t{w + 1} * upp > lagMax || d <= diffAt(w + 1));
                if (dip && (top < 0 || d < diff[static_cast<size_t>(top)]))
                    top = w;
            }
            if (top < 0)
                continue;
            float base = median(&s->sorted);
            if (base < kMinBase[space])
                continue;
            // A picture is as alike two or three rows down: keep the smallest width nearly as good.
            float topDiff = diff[static_cast<size_t>(top)];
            int32_t width = top;
            for (int32_t d = 2; top / d >= lo; ++d)
                if (top % d == 0 && diff[static_cast<size_t>(top / d)] <= 1.25f * topDiff + 0.03f * base)
                    width = top / d;
            // Over the whole window, the best of the width and its close neighbours: the one whose
            // rows line up (a seam at one column), else the one most alike one row down.
            float downDiff = 1e9f, bestSeam = 0.0f, nextSeam = 0.0f;
            int32_t exact = width;
            // Wide rows leave the sampled minimum a few pixels off, so the neighbourhood grows with
            // the width; it is measured on the first 16K quiet units.
            const int32_t reach = std::max(2, width / 256);
            for (int32_t w = std::max(lo, width - reach); w <= std::min(hi, width + reach); ++w) {
                float d = meanDifference(window, s->quiet, int64_t{w} * upp, kExactUnits);
                if (d < downDiff - 0.001f || (w == width && d <= downDiff + 0.001f)) {
                    downDiff = d;
                    exact = w;
                }
            }
            // The seam is looked for in the longest quiet stretch, where the picture is.
            Run seamRange = {0, windowUnits};
            for (const Run& r : s->quiet)
                if (r.end - r.start > seamRange.end - seamRange.start || seamRange.end - seamRange.start == windowUnits)
                    seamRange = r;
            int32_t seamWidth = exact;
            for (int32_t w = std::max(lo, exact - 2); w <= std::min(hi, exact + 2); ++w) {
                const int64_t lag = int64_t{w} * upp;
                float seam = 0.0f;
                // Pixels are taken apart cleanly only from their first byte, not known yet.
                for (int32_t phase = 0; phase < (layout >= 2 ? upp : 1); ++phase) {
                    int64_t column;
                    seam = std::max(seam, findSeam(window, seamRange.start + phase,
                                                   (seamRange.end - seamRange.start - phase) / lag, w, layout,
                                                   &column));
                }
                if (seam > bestSeam) {
                    nextSeam = bestSeam;
                    bestSeam = seam;
                    seamWidth = w;
                } else {
                    nextSeam = std::max(nextSeam, seam);
                }
            }
            if (bestSeam >= 1.5f && bestSeam >= 1.5f * nextSeam && seamWidth != exact)
                exact = seamWidth;
            downDiff = meanDifference(window, s->quiet, int64_t{exact} * upp);
            // A row length that is no whole number of this layout's pixels shows up as a byte
            // lag beside the chosen one that is more alike still: then this is not the layout.
            bool wholePixels = true;
            for (int32_t k = 1; k < upp && wholePixels; ++k) {
                int64_t lag = int64_t{exact} * upp;
                float nearBy = std::min(meanDifference(window, s->quiet, lag - k), meanDifference(window, s->quiet, lag + k));
                wholePixels = nearBy >= 0.98f * downDiff;
            }
            if (!wholePixels)
                continue;
            float down = downDiff / base;
            float across = meanDifference(window, s->quiet, upp) / base;
            // In 15-bit pixels green straddles the two bytes, so bytes differ more across.
            const float acrossSlack = layout == 2 ? 0.15f : 0.0f;
            bool accepted = down <= kMaxDown && across <= kMaxAcross + acrossSlack &&
                            across - down <= kMaxAcrossOverDown + acrossSlack;
            // Records of 16-bit fields pass the byte tests for 15-bit pixels, but taken apart into
            // colours their neighbours differ nearly as much as pixels far apart.
            if (accepted && layout == 2)
                accepted = colourAcross(window, s->quiet, exact) <= kMaxColourAcross;
            if (!accepted)
                continue;
            float merit = down + 2.0f * across;
            // A 4-bit picture read as bytes passes for a picture of half the width or of two rows;
            // when the nibbles make a picture whose rows fit the other's, they are the layout.
            const bool nibblesExplain =
                layout == 0 && found && 2 * int64_t{best->width} * kUnitsPerPixel[best->layout] % exact == 0;
            if (found && merit >= best->merit && !nibblesExplain)
                continue;
            // The seed: the row most like the row below it.
            int64_t rowUnits = int64_t{exact} * upp;
            int64_t seed = 0;
            float seedAlike = -1.0f;
            int64_t stride = std::max<int64_t>(1, rowUnits / 2);
            for (int64_t x = 0; x < windowUnits && x + 2 * rowUnits <= n; x += stride) {
                float a = alikeFraction(window, x, rowUnits, rowUnits);
                if (a > seedAlike) {
                    seedAlike = a;
                    seed = x;
                }
            }
            *best = {layout,
                     exact,
                     seed + w0 * (nibbles ? 2 : 1),
                     alikeFraction(window, 0, n - rowUnits, rowUnits),
                     alikeFraction(window, 0, n - upp, upp),
                     1.0f - down,
                     merit,
                     base};
            found = true;
        }
    }
    return found;
}

// Grows the candidate's rows over the whole buffer and cuts the first and last rows exactly.
bool growExtent(const uint8_t* data, int64_t size, const Candidate& c, int64_t* startUnit,
                int64_t* endUnit)
{
    const bool nibbles = c.layout == 0;
    const Units u = {data, size * (nibbles ? 2 : 1), nibbles};
    const int64_t row = int64_t{c.width} * kUnitsPerPixel[c.layout];
    const float threshold = std::max(0.3f, std::min(0.6f, 0.6f * c.downAlike));
    const float weightAlike = 1.0f - threshold, weightOther = -threshold;
    if (c.seed + 2 * row > u.count)
        return false;

    const float acrossThreshold = 0.5f * c.acrossAlike;
    const int32_t pixel = kUnitsPerPixel[c.layout];
    // A row with the picture's texture: alike across, and not one value.
    auto pictureRow = [&](int64_t x) {
        return alikeFraction(u, x, row - pixel, pixel) >= acrossThreshold && flatFraction(u, x, row) < 0.95f;
    };
    // A row belongs when it is alike to the row `lag` further on, and clearly more so than to
    // units half a row and one and a half rows on: text, UTF-16 and other data that are alike at
    // every distance do not grow a picture. Next to a row of one value the first test is enough.
    const int64_t halfRow = std::max<int64_t>(pixel, row / 2 / pixel * pixel);
    auto rowDifference = [&](int64_t x, int64_t lag) {
        int64_t sum = 0;
        for (int64_t i = x; i < x + row; ++i) {
            int d = unitAt(u, i) - unitAt(u, i + lag);
            sum += std::min(d < 0 ? -d : d, kDifferenceCap);
        }
        return static_cast<float>(sum) / static_cast<float>(row);
    };
    auto rowsAlike = [&](int64_t x, int64_t lag) {
        if (x < 0 || x + row + lag > u.count || alikeFraction(u, x, row, lag) < threshold)
            return false;
        if (flatFraction(u, x, row) >= 0.95f || flatFraction(u, x + lag, row) >= 0.95f)
            return true;
        float other = rowDifference(x, halfRow);
        // Narrow rows are compared further off too, where a smooth picture has changed.
        for (int64_t k = 1; k <= (row < 64 ? 3 : 1); ++k)
            if (x + row + k * lag + halfRow <= u.count)
                other = std::max(other, rowDifference(x, k * lag + halfRow));
        // A nearly plain row gives the test nothing to go on.
        return other < std::max(kMinBase[nibbles ? 1 : 0], 0.5f * c.base) ||
               rowDifference(x, lag) <= kRowContrast * other;
    };
    // Rows are added while alike to their neighbour. Past an edge that spans the whole row, a row
    // still belongs when it is alike to the row beyond it and both have the picture's texture; a
    // single odd row belongs when the rows either side of it are alike.
    int64_t r = c.seed;
    while (r - row >= 0) {
        if (rowsAlike(r - row, row))
            r -= row;
        else if (rowsAlike(r - 2 * row, row) && pictureRow(r - row) && pictureRow(r - 2 * row))
            r -= row;
        else if (rowsAlike(r - 2 * row, 2 * row) && (r - 3 * row < 0 || rowsAlike(r - 3 * row, row)))
            r -= 2 * row;
        else
            break;
    }
    // The first row is cut where the run of units alike to the row below begins; the search
    // covers the last row taken, which may straddle the picture's edge, and the row before it.
    int64_t start = r + row;
    float sum = 0.0f, bestSum = 0.0f;
    for (int64_t i = r + row - 1; i >= std::max<int64_t>(0, r - row); --i) {
        sum += alike(u, i, i + row) ? weightAlike : weightOther;
        if (sum > bestSum) {
            bestSum = sum;
            start = i;
        }
    }
    int64_t e = c.seed + 2 * row;
    while (e + row <= u.count) {
        if (rowsAlike(e - row, row))
            e += row;
        else if (rowsAlike(e, row) && pictureRow(e) && pictureRow(e + row))
            e += row;
        else if (rowsAlike(e - row, 2 * row) && (e + 3 * row > u.count || rowsAlike(e + row, row)))
            e += 2 * row;
        else
            break;
    }
    int64_t end = e - row;
    sum = bestSum = 0.0f;
    for (int64_t i = e - row; i < std::min(u.count, e + row); ++i) {
        sum += alike(u, i - row, i) ? weightAlike : weightOther;
        if (sum > bestSum) {
            bestSum = sum;
            end = i + 1;
        }
    }
    // An array of records whose size divides the row repeats one row down as well, but unlike a
    // picture it differs across nearly as much as half a row on; blocks of such rows at either
    // end are cut off. Blocks, not rows: a narrow picture has rows like that here and there.
    const int64_t blockUnits = std::max<int64_t>(2, kRecordBlockUnits / row) * row;
    auto recordBlock = [&](int64_t x, int64_t blockUnits) {
        // Compared with the units before where the buffer ends, as it may inside the records.
        const int64_t sign = x + blockUnits + row <= u.count ? 1 : -1;
        if (x < 0 || x + blockUnits > u.count || (sign < 0 && x < row))
            return false;
        int64_t across = 0, down = 0, other = 0;
        for (int64_t i = x; i < x + blockUnits; ++i) {
            across += std::min(std::abs(unitAt(u, i) - unitAt(u, i + sign * pixel)), kDifferenceCap);
            down += std::min(std::abs(unitAt(u, i) - unitAt(u, i + sign * row)), kDifferenceCap);
            other += std::min(std::abs(unitAt(u, i) - unitAt(u, i + sign * halfRow)), kDifferenceCap);
        }
        // In 15-bit pixels green straddles the two bytes, so bytes differ more across.
        const float acrossLimit = kRecordAcross + (c.layout == 2 ? 0.2f : 0.0f);
        return other >= blockUnits && static_cast<float>(across) >= acrossLimit * static_cast<float>(other) &&
               static_cast<float>(down) >= kRecordDown * static_cast<float>(other);
    };
    // Next to records cut off, the rows left of the last block are judged one by one.
    const bool tailTrimmed = end - start >= 2 * blockUnits && recordBlock(end - blockUnits, blockUnits);
    while (end - start >= 2 * blockUnits && recordBlock(end - blockUnits, blockUnits))
        end -= blockUnits;
    for (int64_t k = blockUnits / row; tailTrimmed && k > 1 && recordBlock(end - row, row); --k)
        end -= row;
    const bool headTrimmed = end - start >= 2 * blockUnits && recordBlock(start, blockUnits);
    while (end - start >= 2 * blockUnits && recordBlock(start, blockUnits))
        start += blockUnits;
    for (int64_t k = blockUnits / row; headTrimmed && k > 1 && recordBlock(start, row); --k)
        start += row;
    // Rows of one value are taken in as part of a picture (a plain sky, a border), but rows of
    // zeros or of all ones are fill next to a picture, and so is a flat band taller than the rest:
    // then the cut is at the first and the last unit that differ from that value.
    // Narrow rows are judged 64 units at a time, or a plain patch of a picture would look like fill.
    const int64_t flatSpan = std::max<int64_t>(row, 64);
    // Rows at the start are judged on the units from them on, rows at the end on those before.
    auto flatRowAt = [&](int64_t x, bool fromEnd) {
        if (end - start < flatSpan || x < start || x + row > end)
            return false;
        int64_t a = fromEnd ? std::max(start, x + row - flatSpan) : std::min(x, end - flatSpan);
        return flatFraction(u, a, flatSpan) >= 0.95f;
    };
    auto flatRow = [&](int64_t x) { return flatRowAt(x, false); };
    auto flatTailRow = [&](int64_t x) { return flatRowAt(x, true); };
    // The first and last rows may hold some units of the data beyond, so the count of flat
    // rows may begin a few rows in.
    int64_t headSkip = 0, tailSkip = 0;
    while (headSkip < 4 && !flatRow(start + headSkip * row))
        ++headSkip;
    if (headSkip == 4 || !flatRow(start + (headSkip + 1) * row))
        headSkip = 0;
    while (tailSkip < 4 && !flatTailRow(end - (tailSkip + 1) * row))
        ++tailSkip;
    if (tailSkip == 4 || !flatTailRow(end - (tailSkip + 2) * row))
        tailSkip = 0;
    int64_t leading = 0, trailing = 0;
    while (flatRow(start + (headSkip + leading) * row))
        ++leading;
    while (end - (tailSkip + trailing + 1) * row >= start + (headSkip + leading) * row &&
           flatTailRow(end - (tailSkip + trailing + 1) * row))
        ++trailing;
    int64_t textured = (end - start) / row - leading - trailing - headSkip - tailSkip;
    const int fullUnit = nibbles ? 15 : 255;
    auto isFill = [&](int64_t count, int value) {
        return count > 0 && (count * 2 > textured || (count >= 2 && (value == 0 || value == fullUnit)));
    };
    const int64_t head = start + headSkip * row;
    if (isFill(leading, unitAt(u, head))) {
        int value = unitAt(u, head);
        start = head;
        while (start < end && unitAt(u, start) == value)
            ++start;
    }
    const int64_t tail = end - tailSkip * row;
    if (tail > start && isFill(trailing, unitAt(u, tail - 1))) {
        int value = unitAt(u, tail - 1);
        end = tail;
        while (end > start && unitAt(u, end - 1) == value)
            --end;
    }
    // The first row. Where the right edge of a row meets the left edge of the next is, in most
    // pictures, the sharpest step across; when one column boundary stands out like that, rows
    // start after it. That settles a start a unit or two off (a chance match at the first unit),
    // and data that begins in the middle of a row starts at its first whole row. The seam is
    // looked for from each byte of a pixel, since the start may be off by one.
    int64_t column = -1, seamPhase = 0;
    float seam = 0.0f;
    const int64_t seamRows = (end - start) / row - 1;
    for (int32_t phase = 0; phase < (c.layout >= 2 ? pixel : 1); ++phase) {
        int64_t at;
        float strength = findSeam(u, start + phase, seamRows, c.width, c.layout, &at);
        if (strength > seam) {
            seam = strength;
            column = at;
            seamPhase = phase;
        }
    }
    if (seam >= 1.5f) {
        const int64_t lowest = std::max<int64_t>(0, start - 2 * pixel);
        const int64_t rowStart = start + seamPhase + (column + 1) * pixel;
        start = lowest + ((rowStart - lowest) % row + row) % row;
    } else if (c.layout == 2 && end - start >= 2 * row) {
        // No seam: 15-bit pixels are still much smoother taken apart from the right byte.
        auto roughnessFrom = [&](int64_t x) {
            int64_t sum = 0;
            for (int64_t i = x; i + 2 < std::min(end, x + 8 * row); i += 2)
                sum += pixelStep(u, i, i + 2, 2);
            return sum;
        };
        if (start > 0 && roughnessFrom(start + 1) < roughnessFrom(start))
            --start;
    }
    // The last units may miss by chance, as the first may: an end that falls a little short of a
    // whole row is taken to the row's end when the units left are still mostly alike.
    if ((end - start) % row != 0) {
        const int64_t rowEnd = std::min(u.count, start + ((end - start) / row + 1) * row);
        if (rowEnd - end <= 2 * pixel ||
            (rowEnd - end <= row / 4 && alikeFraction(u, end, rowEnd - end, -row) >= 0.5f * threshold))
            end = rowEnd;
    }
    // Pictures start on whole bytes in practice; a 4-bit start on a high nibble is a chance match.
    if (nibbles && (start & 1))
        ++start;
    *startUnit = start;
    *endUnit = end;
    return true;
}

int64_t rowsIn(int32_t layout, int32_t width, int64_t bytes)
{
    return layout == 0 ? bytes * 2 / width : bytes / (int64_t{width} * kUnitsPerPixel[layout]);
}

// Looks for pictures in the smooth stretches of [lo, hi) of the buffer; they may grow past it.
// Text of fixed-width lines, tables of numbers, and their UTF-16 forms repeat at the line
// length and are smooth enough to pass for pictures. They are told apart by their bytes: nearly
// all printable ASCII with plenty of spaces and line ends (in UTF-16, every other byte zero).
bool looksLikeText(const uint8_t* p, int64_t n)
{
    n = std::min<int64_t>(n, 65536);
    for (int stride = 1; stride <= 2; ++stride) {
        for (int phase = 0; phase < stride; ++phase) {
            int64_t printable = 0, spaces = 0, lineEnds = 0, controls = 0, zeros = 0, count = 0;
            for (int64_t i = phase; i < n; i += stride, ++count) {
                uint8_t b = p[i];
                printable += (b >= 0x20 && b < 0x7F) || b == '\n' || b == '\r' || b == '\t';
                spaces += b == ' ' || b == '\n';
                lineEnds += b == '\n';
                controls += b < 0x20 && b != '\n' && b != '\r' && b != '\t';
                int64_t other = phase == 0 ? i + 1 : i - 1;  // the other byte of a UTF-16 unit
                if (stride == 2 && other < n)
                    zeros += p[other] == 0;
            }
            if (count == 0)
                continue;
            bool wide = stride == 1 || zeros * 20 >= count * 19;
            // Tables of numbers and lines of code may have few spaces, but they end their lines;
            // a grey picture that reaches down to the line end byte reaches its neighbours too.
            bool lines = lineEnds * 200 >= count && controls * 4 <= lineEnds;
            if (wide && printable * 20 >= count * 19 && (spaces * 100 >= count * 8 || lines))
                return true;
        }
    }
    return false;
}

struct RangeSearch {
    const uint8_t* data;
    int64_t size;
    int64_t base;
    const FindOptions* options;
    Scratch* scratch;
    std::vector<Find>* finds;
    int64_t done;  // the end of the last find
};

// Windows over the stretch [s0, s1). A picture found in a window may start well after the
// window does, past other data that can hold a smaller picture: that part is searched again.
void searchStretch(RangeSearch* rs, int64_t s0, int64_t s1, int depth)
{
    int64_t pos = s0;
    while (s1 - pos >= kMinSegmentBytes) {
        int64_t w1 = s1 - pos <= kWholeWindowBytes ? s1 : pos + kWindowBytes;
        Candidate c = {}, half = {};
        int64_t next = w1;
        int64_t startUnit, endUnit;
        bool found = searchWindow(rs->data, rs->size, pos, w1, *rs->options, rs->scratch, &c);
        // Two pictures side by side in one window blur each other's widths; the first half of
        // the window, when it is alike down more clearly, speaks for the first of them.
        if (w1 - pos >= 2 * kHalfWindowMinBytes &&
            searchWindow(rs->data, rs->size, pos, pos + (w1 - pos) / 2, *rs->options, rs->scratch, &half) &&
            (!found || half.score > c.score + 0.05f)) {
            c = half;
            found = true;
        }
        if (found && growExtent(rs->data, rs->size, c, &startUnit, &endUnit)) {
            bool nibbles = c.layout == 0;
            int64_t offset = nibbles ? startUnit / 2 : startUnit;
            int64_t end = nibbles ? (endUnit + 1) / 2 : endUnit;
            // Rows of text next to a picture can pass for more of it; they are cut off row by row.
            const int64_t rowBytes = std::max<int64_t>(1, int64_t{c.width} * (nibbles ? 1 : 2 * kUnitsPerPixel[c.layout]) / 2);
            const int64_t probe = std::clamp<int64_t>(rowBytes, 64, 512);
            while (end - offset > 2 * probe && looksLikeText(rs->data + offset, probe))
                offset += rowBytes;
            while (end - offset > 2 * probe && looksLikeText(rs->data + end - probe, probe))
                end -= rowBytes;
            Find f = {rs->base + offset, end - offset, c.layout, c.width, 0, ::rowBytes(c.layout, c.width), c.score};
            f.height = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, rowsIn(c.layout, c.width, f.bytes)));
            // A picture that ends before this window began was found from an earlier window.
            if (end <= pos)
                next = w1;
            else if (looksLikeText(rs->data + offset, end - offset))
                next = std::max(pos + kCellBytes, end);
            else if (f.bytes >= rs->options->minBytes && f.height >= kMinRows) {
                rs->finds->push_back(f);
                if (offset - pos >= kMinSegmentBytes && depth < 3)
                    searchStretch(rs, pos, offset, depth + 1);
                rs->done = std::max(rs->done, end);
                next = std::max(pos + kCellBytes, end);
            }
        }
        pos = next;
    }
}

// Looks for pictures in the smooth stretches of [lo, hi) of the buffer; they may grow past it.
void searchRange(const uint8_t* data, int64_t size, int64_t lo, int64_t hi, int64_t base,
                 const FindOptions& options, Scratch* scratch, std::vector<Find>* finds)
{
    RangeSearch rs = {data, size, base, &options, scratch, finds, lo};
    auto texture = [&](int64_t cell) { return textureOf(data + cell, std::min(kCellBytes, hi - cell), kCellSmoothLimit); };
    int64_t cell = lo;
    while (cell < hi) {
        // A stretch: smooth cells, with gaps of at most two rough cells or a few flat ones (the
        // plain areas of a picture); it ends on a smooth cell.
        while (cell < hi && texture(cell) != kSmooth)
            cell += kCellBytes;
        if (cell >= hi)
            break;
        int64_t s0 = cell, s1 = cell, rough = 0, flat = 0;
        for (; cell < hi && rough <= 2 && flat <= kMaxFlatCells; cell += kCellBytes) {
            Texture t = texture(cell);
            if (t == kSmooth) {
                s1 = std::min(hi, cell + kCellBytes);
                rough = flat = 0;
            } else if (t == kRough) {
                ++rough;
            } else {
                ++flat;
            }
        }
        cell = s1;
        searchStretch(&rs, std::max(s0, rs.done), s1, 0);
        cell = std::max(cell, rs.done);
    }
}

// Sorts the finds and joins those that are one picture seen twice; of other overlaps the larger
// stays.
void mergeFinds(std::vector<Find>* finds)
{
    std::sort(finds->begin(), finds->end(), [](const Find& a, const Find& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.bytes > b.bytes;
    });
    std::vector<Find> out;
    for (const Find& f : *finds) {
        if (!out.empty()) {
            Find& last = out.back();
            const int64_t lastEnd = last.offset + last.bytes;
            const bool same = f.layout == last.layout && f.width == last.width;
            // Two pieces of one picture, cut apart by a few odd rows, stay on one grid of rows.
            const int64_t rowNibbles = int64_t{f.width} * (f.layout == 0 ? 1 : 2 * kUnitsPerPixel[f.layout]);
            const int64_t apart = 2 * (f.offset - last.offset) % rowNibbles;
            const bool sameGrid = apart <= 4 || apart >= rowNibbles - 4;
            if (same && (f.offset < lastEnd || (sameGrid && f.offset <= lastEnd + 4 * rowNibbles / 2))) {
                int64_t end = std::max(lastEnd, f.offset + f.bytes);
                last.bytes = end - last.offset;
                last.height = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, rowsIn(last.layout, last.width, last.bytes)));
                last.score = std::max(last.score, f.score);
                continue;
            }
            if (f.offset < lastEnd) {
                // Two readings of mostly the same bytes: the one more alike down is the picture;
                // otherwise the larger region stays.
                // Neighbours that overlap by a little (each edge found a few units off) both stay.
                const int64_t overlap = std::min(lastEnd, f.offset + f.bytes) - f.offset;
                const int64_t smaller = std::min(f.bytes, last.bytes);
                if (4 * overlap <= smaller && f.offset + f.bytes > lastEnd) {
                    Find trimmed = f;
                    trimmed.offset = lastEnd;
                    trimmed.bytes = f.offset + f.bytes - lastEnd;
                    trimmed.height = static_cast<int32_t>(std::min<int64_t>(INT32_MAX, rowsIn(f.layout, f.width, trimmed.bytes)));
                    out.push_back(trimmed);
                    continue;
                }
                if (2 * overlap >= smaller ? f.score > last.score : f.bytes > last.bytes)
                    last = f;
                continue;
            }
        }
        out.push_back(f);
    }
    finds->swap(out);
}

void say(char* error, size_t errorSize, const char* format, const char* a, const char* b)
{
    if (error && errorSize)
        std::snprintf(error, errorSize, format, a, b);
}

}  // namespace

FindOptions defaultFindOptions()
{
    return {kAllLayouts, 8, 4096, 4096, 0, -1, 0};
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
    else if (o.from < 0 || (o.to >= 0 && o.to < o.from))
        bad = "--from/--to";
    else if (o.threads < 0 || o.threads > 256)
        bad = "--threads";
    if (bad)
        say(error, errorSize, "%s%s out of range", bad, "");
    return bad == nullptr;
}

bool findInBuffer(const uint8_t* data, int64_t size, int64_t base, const FindOptions& options,
                  std::vector<Find>* finds)
{
    if (!checkFindOptions(options, nullptr, 0) || size < 0)
        return false;
    std::vector<Run> runs;
    sieve(data, size, 0, &runs);
    Scratch scratch;
    std::vector<Find> found;
    for (const Run& run : runs)
        searchRange(data, size, std::max<int64_t>(0, run.start - kBlockBytes),
                    std::min(size, run.end + kBlockBytes), base, options, &scratch, &found);
    mergeFinds(&found);
    finds->insert(finds->end(), found.begin(), found.end());
    return true;
}

namespace {

struct FindProgress {
    void (*report)(void* user, int64_t done, int64_t total);
    void* user;
};

struct FileScan {
    int fd;
    const FindOptions* options;
    int64_t from;
    int64_t to;
    std::atomic<int64_t> next;
    std::atomic<int64_t> done;
    std::atomic<int64_t> dataEnd;  // lowered when the file turns out shorter
    std::atomic<bool> failed;
    std::atomic<int> savedErrno;
    std::atomic<int32_t> finished;  // workers done
    std::vector<std::vector<Run>> chunkRuns;
    std::vector<Run> pieces;
    std::vector<std::vector<Find>> finds;  // one list per worker
};

struct Worker {
    FileScan* scan;
    void (*run)(FileScan*, int32_t);
    int32_t index;
};

void noteShortFile(FileScan* scan, int64_t end)
{
    int64_t seen = scan->dataEnd.load();
    while (end < seen && !scan->dataEnd.compare_exchange_weak(seen, end)) {
    }
}

void noteFailure(FileScan* scan, int error)
{
    int none = 0;
    scan->savedErrno.compare_exchange_strong(none, error ? error : EIO);
    scan->failed = true;
}

// Reads [start, end) into buffer; returns the bytes that arrived, or -1.
int64_t readRange(int fd, int64_t start, int64_t end, uint8_t* buffer)
{
    return readAt(fd, start, buffer, static_cast<size_t>(end - start));
}

void sieveWorker(FileScan* scan, int32_t)
{
    const int fd = scan->fd;
    std::vector<uint8_t> buffer(static_cast<size_t>(kChunkBytes));
    const int64_t chunks = static_cast<int64_t>(scan->chunkRuns.size());
    for (int64_t k = scan->next++; k < chunks && !scan->failed; k = scan->next++) {
        int64_t start = scan->from + k * kChunkBytes;
        int64_t end = std::min(scan->to, start + kChunkBytes);
        int64_t got = readRange(fd, start, end, buffer.data());
        if (got < 0) {
            noteFailure(scan, errno);
            break;
        }
        if (got < end - start)
            noteShortFile(scan, start + got);
        sieve(buffer.data(), got, start, &scan->chunkRuns[static_cast<size_t>(k)]);
        scan->done += end - start;
    }
}

void searchWorker(FileScan* scan, int32_t index)
{
    const int fd = scan->fd;
    std::vector<uint8_t> buffer;
    std::vector<Find> found;
    Scratch scratch;
    const int64_t count = static_cast<int64_t>(scan->pieces.size());
    for (int64_t k = scan->next++; k < count && !scan->failed; k = scan->next++) {
        const Run& piece = scan->pieces[static_cast<size_t>(k)];
        int64_t limit = scan->dataEnd.load();
        int64_t m0 = std::max(scan->from, piece.start - kMarginBytes);
        int64_t m1 = std::min(limit, piece.end + kMarginBytes);
        if (m1 > m0) {
            buffer.resize(static_cast<size_t>(m1 - m0));
            int64_t got = readRange(fd, m0, m1, buffer.data());
            if (got < 0) {
                noteFailure(scan, errno);
                break;
            }
            if (got < m1 - m0)
                noteShortFile(scan, m0 + got);
            int64_t lo = std::max<int64_t>(0, piece.start - kBlockBytes - m0);
            int64_t hi = std::min(got, piece.end + kBlockBytes - m0);
            if (hi > lo)
                searchRange(buffer.data(), got, lo, hi, m0, *scan->options, &scratch, &found);
        }
        scan->done += piece.end - piece.start;
    }
    scan->finds[static_cast<size_t>(index)].swap(found);
}

// Threads through the system's own calls: mingw's win32 thread model has no std::thread.
#ifdef _WIN32
DWORD WINAPI workerEntry(LPVOID argument)
{
    Worker* w = static_cast<Worker*>(argument);
    w->run(w->scan, w->index);
    ++w->scan->finished;
    return 0;
}

void napTenthSecond()
{
    Sleep(100);
}

int32_t coreCount()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<int32_t>(info.dwNumberOfProcessors);
}
#else
void napTenthSecond()
{
    timespec tenth = {0, 100000000};
    nanosleep(&tenth, nullptr);
}

int32_t coreCount()
{
    return static_cast<int32_t>(std::thread::hardware_concurrency());
}
#endif

// Runs worker on the threads while this thread reports progress.
void runWorkers(FileScan* scan, void (*run)(FileScan*, int32_t), int32_t threads,
                const FindProgress* progress, int64_t doneBefore, int64_t total)
{
    scan->next = 0;
    scan->finished = 0;
    std::vector<Worker> workers(static_cast<size_t>(threads));
    for (int32_t t = 0; t < threads; ++t)
        workers[static_cast<size_t>(t)] = {scan, run, t};
#ifdef _WIN32
    std::vector<HANDLE> handles;
    for (Worker& w : workers) {
        HANDLE h = CreateThread(nullptr, 0, workerEntry, &w, 0, nullptr);
        if (h)
            handles.push_back(h);
        else
            workerEntry(&w);
    }
#else
    std::vector<std::thread> pool;
    for (Worker& w : workers)
        pool.emplace_back([&w] {
            w.run(w.scan, w.index);
            ++w.scan->finished;
        });
#endif
    while (progress && progress->report && scan->finished.load() < threads) {
        progress->report(progress->user, doneBefore + scan->done.load(), total);
        napTenthSecond();
    }
#ifdef _WIN32
    for (HANDLE h : handles) {
        WaitForSingleObject(h, INFINITE);
        CloseHandle(h);
    }
#else
    for (std::thread& t : pool)
        t.join();
#endif
}

}  // namespace

int32_t threadLimit(const FindOptions&)
{
    return 16;
}

bool findInFile(int fd, const FindOptions& options, const FindCallbacks& callbacks, ScanResult* result,
                char* error, size_t errorSize)
{
    *result = {0, 0, -1, 0, false};
    if (!checkFindOptions(options, error, errorSize))
        return false;
    int64_t size = fileLength(fd);
    if (size < 0) {
        say(error, errorSize, "%s%s", "cannot take its length", "");
        return false;
    }
    result->size = size;
    FindProgress progressHook = {callbacks.onProgress, callbacks.user};
    const FindProgress* progress = callbacks.onProgress ? &progressHook : nullptr;

    FileScan scan;
    scan.fd = fd;
    scan.options = &options;
    scan.from = std::min(options.from, size);
    scan.to = options.to < 0 ? size : std::min(options.to, size);
    scan.dataEnd = scan.to;
    scan.done = 0;
    scan.failed = false;
    scan.savedErrno = 0;
    int32_t threads = options.threads;
    if (threads == 0)
        threads = std::max(1, coreCount());
    threads = std::min(threads, threadLimit(options));
    scan.finds.resize(static_cast<size_t>(threads));
    const int64_t length = scan.to - scan.from;
    const int64_t chunks = (length + kChunkBytes - 1) / kChunkBytes;
    scan.chunkRuns.resize(static_cast<size_t>(chunks));
    runWorkers(&scan, sieveWorker, static_cast<int32_t>(std::min<int64_t>(threads, std::max<int64_t>(1, chunks))),
               progress, 0, length);

    // Runs that cross chunk boundaries are joined, then long runs cut into pieces.
    std::vector<Run> runs;
    for (const std::vector<Run>& list : scan.chunkRuns)
        for (const Run& r : list) {
            if (!runs.empty() && runs.back().end >= r.start - kBlockBytes)
                runs.back().end = r.end;
            else
                runs.push_back(r);
        }
    scan.chunkRuns.clear();
    scan.chunkRuns.shrink_to_fit();
    int64_t searchBytes = 0;
    for (const Run& r : runs)
        for (int64_t p = r.start; p < r.end; p += kPieceBytes) {
            scan.pieces.push_back({p, std::min(r.end, p + kPieceBytes)});
            searchBytes += std::min(r.end, p + kPieceBytes) - p;
        }
    int64_t sieved = scan.done.load();
    scan.done = 0;
    if (!scan.failed && !scan.pieces.empty())
        runWorkers(&scan, searchWorker,
                   static_cast<int32_t>(std::min<int64_t>(threads, static_cast<int64_t>(scan.pieces.size()))),
                   progress, sieved, length + searchBytes);
    if (progress && progress->report)
        progress->report(progress->user, length + searchBytes, length + searchBytes);
    if (scan.failed) {
        say(error, errorSize, "%s%s", std::strerror(scan.savedErrno), "");
        return false;
    }
    std::vector<Find> all;
    for (const std::vector<Find>& list : scan.finds)
        all.insert(all.end(), list.begin(), list.end());
    mergeFinds(&all);
    result->threads = threads;
    result->scanned = scan.dataEnd.load() - scan.from;
    if (scan.dataEnd.load() < scan.to)
        result->shrunkTo = scan.dataEnd.load();
    for (const Find& f : all)
        if (!callbacks.onFind(callbacks.user, f)) {
            result->stopped = true;
            break;
        }
    return true;
}
