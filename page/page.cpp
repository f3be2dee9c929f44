#include "page/page.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "common/pixel_decode.h"
#include "common/raw_file.h"
#include "app/viewer_state.h"

// Pixels are stored as 32-bit words whose bytes in memory read R, G, B, A.
static_assert(std::endian::native == std::endian::little, "pixel words assume little-endian order");

constexpr uint32_t kBlack = 0xFF000000u;

// A unit is the smallest run of pixels read from whole bytes.
struct UnitLayout {
    int32_t pixels;
    int32_t bytes;
};

static const UnitLayout kUnits[kPixelFormatCount] = {{4, 2}, {2, 2}, {1, 2}, {1, 3}};

// Stepping back past the start shows the tail of the file: this many bytes, unless the file is
// shorter than kBackWrapMinSize, which is then shown whole.
constexpr int64_t kBackWrapTail = 100;
constexpr int64_t kBackWrapMinSize = 200;

static constexpr uint32_t grey(uint32_t level)
{
    return level * 0x010101u | kBlack;
}

// Each decoder turns `units` whole units at src into pixels at dst. Where SSE2 is there (every
// x86-64 build) a vector loop takes the bulk and the plain loop finishes the rest; the vector
// loops never load past the units they were given.
using UnitDecoder = void (*)(const uint8_t* src, uint32_t* dst, int64_t units);

#ifdef __SSE2__
static __m128i loadBytes(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

static void storePixels(uint32_t* p, __m128i pixels)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), pixels);
}

// 15 * v in each byte, as 16 * v - v, wrapping like the scalar product.
static __m128i timesFifteen(__m128i v)
{
    __m128i sixteen = _mm_and_si128(_mm_slli_epi16(v, 4), _mm_set1_epi8(static_cast<char>(0xF0)));
    return _mm_sub_epi8(sixteen, v);
}

// Sixteen grey levels out as sixteen opaque grey pixels.
static void storeGreys(uint32_t* dst, __m128i levels)
{
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    __m128i twice = _mm_unpacklo_epi8(levels, levels);
    __m128i withAlpha = _mm_unpacklo_epi8(levels, opaque);
    storePixels(dst, _mm_unpacklo_epi16(twice, withAlpha));
    storePixels(dst + 4, _mm_unpackhi_epi16(twice, withAlpha));
    twice = _mm_unpackhi_epi8(levels, levels);
    withAlpha = _mm_unpackhi_epi8(levels, opaque);
    storePixels(dst + 8, _mm_unpacklo_epi16(twice, withAlpha));
    storePixels(dst + 12, _mm_unpackhi_epi16(twice, withAlpha));
}
#endif

static void decodeClut4(const uint8_t* src, uint32_t* dst, int64_t units)
{
    int64_t i = 0, bytes = units * 2;
#ifdef __SSE2__
    const __m128i nibble = _mm_set1_epi8(0x0F);
    for (; i + 16 <= bytes; i += 16) {
        __m128i v = loadBytes(src + i);
        __m128i lo = _mm_and_si128(v, nibble), hi = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
        storeGreys(dst + 2 * i, timesFifteen(_mm_unpacklo_epi8(lo, hi)));
        storeGreys(dst + 2 * i + 16, timesFifteen(_mm_unpackhi_epi8(lo, hi)));
    }
#endif
    for (; i < bytes; ++i) {
        dst[2 * i] = grey((src[i] & 15u) * 15);
        dst[2 * i + 1] = grey((src[i] >> 4) * 15u);
    }
}

// The product wraps on purpose: 17 gives 255, 18 gives 14.
static void decodeClut8(const uint8_t* src, uint32_t* dst, int64_t units)
{
    int64_t i = 0, bytes = units * 2;
#ifdef __SSE2__
    for (; i + 16 <= bytes; i += 16)
        storeGreys(dst + i, timesFifteen(loadBytes(src + i)));
#endif
    for (; i < bytes; ++i)
        dst[i] = grey(static_cast<uint8_t>(src[i] * 15));
}

// Each 5-bit field moves to the top of its byte; bit 15 is dropped.
static void decodeDirect15(const uint8_t* src, uint32_t* dst, int64_t units)
{
    int64_t i = 0;
#ifdef __SSE2__
    // In 16-bit lanes: red and green make the low half of a pixel, blue and alpha the high half.
    const __m128i lowMask = _mm_set1_epi16(0x00F8);
    const __m128i highMask = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i alpha = _mm_set1_epi16(static_cast<short>(0xFF00));
    for (; i + 8 <= units; i += 8) {
        __m128i w = loadBytes(src + 2 * i);
        __m128i redGreen = _mm_or_si128(_mm_and_si128(_mm_slli_epi16(w, 3), lowMask),
                                        _mm_and_si128(_mm_slli_epi16(w, 6), highMask));
        __m128i blueAlpha = _mm_or_si128(_mm_and_si128(_mm_srli_epi16(w, 7), lowMask), alpha);
        storePixels(dst + i, _mm_unpacklo_epi16(redGreen, blueAlpha));
        storePixels(dst + i + 4, _mm_unpackhi_epi16(redGreen, blueAlpha));
    }
#endif
    for (; i < units; ++i)
        dst[i] = decodeColour15(src[2 * i] | static_cast<uint32_t>(src[2 * i + 1]) << 8);
}

#if defined(__SSE2__) && (defined(__GNUC__) || defined(__clang__))
#define TESSVANE_PAGE_SSSE3 1
#include <tmmintrin.h>

// One byte shuffle spreads four packed R,G,B pixels over four words; taken when the processor
// has SSSE3, chosen at run time so the program still runs on plain x86-64.
__attribute__((target("ssse3"))) static int64_t decodeDirect24Ssse3(const uint8_t* src,
                                                                     uint32_t* dst, int64_t units)
{
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(kBlack));
    int64_t i = 0;
    // Sixteen bytes are loaded for twelve used: stop while six whole pixels remain.
    for (; i + 6 <= units; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * i));
        storePixels(dst + i, _mm_or_si128(_mm_shuffle_epi8(v, spread), alpha));
    }
    return i;
}

static bool haveSsse3()
{
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
#endif

static void decodeDirect24(const uint8_t* src, uint32_t* dst, int64_t units)
{
    int64_t i = 0;
#ifdef TESSVANE_PAGE_SSSE3
    if (haveSsse3())
        i = decodeDirect24Ssse3(src, dst, units);
#endif
#ifdef __SSE2__
    // A 64-bit lane holds 8 bytes starting at a pixel pair; the second pixel moves up one byte.
    // Four pixels read 14 bytes, so one pixel is kept back for slack.
    const __m128i firstMask = _mm_set1_epi64x(0x0000000000FFFFFF);
    const __m128i secondMask = _mm_set1_epi64x(0x00FFFFFF00000000);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(kBlack));
    for (; i + 5 <= units; i += 4) {
        const __m128i* p = reinterpret_cast<const __m128i*>(src + 3 * i);
        const __m128i* q = reinterpret_cast<const __m128i*>(src + 3 * i + 6);
        __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(p), _mm_loadl_epi64(q));
        __m128i pixels = _mm_or_si128(_mm_and_si128(v, firstMask),
                                      _mm_and_si128(_mm_slli_epi64(v, 8), secondMask));
        storePixels(dst + i, _mm_or_si128(pixels, alpha));
    }
#endif
    for (; i < units; ++i)
        dst[i] = decodeColour24(src + 3 * i);
}

static const UnitDecoder kDecoders[kPixelFormatCount] = {decodeClut4, decodeClut8, decodeDirect15,
                                                          decodeDirect24};

// Decodes the unit at pos into out; bytes missing at the end of the buffer count as zero.
static void decodeOneUnit(int32_t format, const uint8_t* buffer, int64_t count, int64_t pos,
                          uint32_t* out)
{
    uint8_t padded[4] = {0, 0, 0, 0};
    int64_t available = std::min<int64_t>(count - pos, kUnits[format].bytes);
    std::memcpy(padded, buffer + pos, static_cast<size_t>(available));
    kDecoders[format](padded, out, 1);
}

// The usual case, a texture at least one unit wide: every row holds whole units, so each row is
// the packed source row (rounded up to whole units), then black.
static void decodeRows(PageImage* image, int32_t format, int32_t width, int32_t height,
                       const uint8_t* buffer, int64_t count)
{
    const UnitLayout unit = kUnits[format];
    const int64_t unitsPerRow = (static_cast<int64_t>(width) + unit.pixels - 1) / unit.pixels;
    const int64_t rowBytes = unitsPerRow * unit.bytes;
    const int32_t texWidth = image->texWidth;
    uint32_t* row = reinterpret_cast<uint32_t*>(image->pixels);
    for (int32_t y = 0; y < image->texHeight; ++y, row += texWidth) {
        int64_t filled = 0;
        int64_t pos = y * rowBytes;
        if (y < height && pos < count) {
            int64_t whole = std::min(unitsPerRow, (count - pos) / unit.bytes);
            kDecoders[format](buffer + pos, row, whole);
            filled = whole * unit.pixels;
            pos += whole * unit.bytes;
            if (whole < unitsPerRow && pos < count) {
                decodeOneUnit(format, buffer, count, pos, row + filled);
                filled += unit.pixels;
            }
        }
        std::fill(row + filled, row + texWidth, kBlack);
    }
}

// Textures narrower than one unit: a unit runs on into the following rows, and the last one may
// stick out past the end of the image, where nothing is written.
static void decodeNarrow(PageImage* image, int32_t format, int32_t width, int32_t height,
                         const uint8_t* buffer, int64_t count)
{
    const UnitLayout unit = kUnits[format];
    const int64_t texWidth = image->texWidth;
    const int64_t total = texWidth * image->texHeight;
    uint32_t* pixels = reinterpret_cast<uint32_t*>(image->pixels);
    int64_t x = 0, y = 0, pos = 0;
    for (int64_t first = 0; first < total; first += unit.pixels) {
        uint32_t out[4] = {kBlack, kBlack, kBlack, kBlack};
        if (x < width && y < height && pos < count)
            decodeOneUnit(format, buffer, count, pos, out);
        int64_t written = std::min<int64_t>(unit.pixels, total - first);
        std::memcpy(pixels + first, out, static_cast<size_t>(written) * 4);
        x += unit.pixels;
        while (x >= texWidth) {
            x -= texWidth;
            ++y;
        }
        if (x < width && y < height)
            pos += unit.bytes;
    }
}

int32_t nextPowerOfTwo(int32_t n)
{
    if (n <= 0)
        return 0;
    if (n > (1 << 30))
        return INT32_MAX;
    return static_cast<int32_t>(std::bit_ceil(static_cast<uint32_t>(n)));
}

PageImage* allocatePage(int32_t texWidth, int32_t texHeight)
{
    size_t pixelBytes = static_cast<size_t>(texWidth) * static_cast<size_t>(texHeight) * 4;
    PageImage* image = static_cast<PageImage*>(std::malloc(sizeof(PageImage) + pixelBytes));
    if (!image)
        return nullptr;
    image->texWidth = texWidth;
    image->texHeight = texHeight;
    image->pixels = reinterpret_cast<uint8_t*>(image + 1);
    return image;
}

PageImage* loadPage(const char* path, int32_t format, int32_t width, int32_t height, int64_t start,
                    int64_t end)
{
    // Checked first: an unknown format has no page size to wrap with.
    if (format < 0 || format >= kPixelFormatCount)
        return nullptr;
    int32_t texWidth = nextPowerOfTwo(width);
    int32_t texHeight = nextPowerOfTwo(height);
    if (texWidth > kMaxTextureSide || texHeight > kMaxTextureSide)
        return nullptr;

    int fd = openForRead(path, false);
    if (fd == kNoFile)
        return nullptr;
    int64_t size = fileLength(fd);
    if (size < 0) {
        closeFile(fd);
        return nullptr;
    }

    if (start >= size) {
        start = 0;
        end = kPageSize[format];
        viewer.fileOffset = 0;
    } else if (start < 0) {
        // The page end passed in stays: it may cut the tail short, down to nothing.
        start = size >= kBackWrapMinSize ? size - kBackWrapTail : 0;
        viewer.fileOffset = start;
    }
    if (!seekTo(fd, start)) {
        closeFile(fd);
        return nullptr;
    }
    if (end > size || start > end)
        end = size;
    // A careless end cannot make the buffer bigger than one page.
    int64_t count = std::min<int64_t>(end - start, kPageSize[format]);

    size_t bufferSize = count > 0 ? static_cast<size_t>(count) : 1;
    uint8_t* buffer = static_cast<uint8_t*>(std::malloc(bufferSize));
    if (!buffer) {
        closeFile(fd);
        return nullptr;
    }
    // A short read leaves the rest of the page undecoded, hence black.
    int64_t got = readOnce(fd, buffer, static_cast<size_t>(count));
    closeFile(fd);
    if (got < 0) {
        std::free(buffer);
        return nullptr;
    }

    PageImage* image = allocatePage(texWidth, texHeight);
    if (image)
        decodePage(image, format, width, height, buffer, got);
    std::free(buffer);
    return image;
}

void decodePage(PageImage* image, int32_t format, int32_t width, int32_t height,
                const uint8_t* buffer, int64_t count)
{
    if (image->texWidth >= kUnits[format].pixels)
        decodeRows(image, format, width, height, buffer, count);
    else
        decodeNarrow(image, format, width, height, buffer, count);
}

void freePage(PageImage* page)
{
    std::free(page);
}
