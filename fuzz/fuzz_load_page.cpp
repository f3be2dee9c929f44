// Arbitrary bytes as the data file, with the page geometry and offsets taken from the first bytes.
//
// Input: format (1 byte), width and height (2 bytes each, -4 to 64), start (2 bytes, folded to
// about one file length either side of the file), end bias (2 bytes); the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/viewer_state.h"
#include "fuzz/memory_file.h"
#include "page/page.h"

static const int32_t kUnitPixels[kPixelFormatCount] = {4, 2, 1, 1};

static MemoryFile dataFile = {-1, ""};

static int32_t take16(const uint8_t* p)
{
    return static_cast<int16_t>(p[0] | p[1] << 8);
}

// -4 to 64: every way the window meets units, rows and the texture already shows at small
// sides, and a larger side would only make each run slower.
static int32_t side(const uint8_t* p)
{
    return (take16(p) & 0x7FFF) % 69 - 4;
}

static void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

static bool isPowerOfTwoOrZero(int32_t n)
{
    return n >= 0 && (n & (n - 1)) == 0;
}

// Kept out of the coverage feedback and the address checks: it reads only the page it was
// given, its comparisons say nothing about the reader's paths, and it runs over every pixel.
__attribute__((no_sanitize("coverage", "address", "undefined")))
static void checkPixels(const PageImage* page, int32_t format, int32_t width, int32_t height)
{
    // Outside the window, rounded up to whole units per row, everything is opaque black.
    int32_t unit = kUnitPixels[format];
    bool narrow = page->texWidth < unit;
    int32_t decodedWidth = narrow ? page->texWidth : (width + unit - 1) / unit * unit;
    int32_t decodedHeight = narrow ? page->texHeight : height;
    bool opaque = true;
    bool blackOutside = true;
    for (int32_t y = 0; y < page->texHeight; ++y) {
        const uint8_t* row = page->pixels + static_cast<size_t>(y) * page->texWidth * 4;
        int32_t blackFrom = y < decodedHeight ? decodedWidth : 0;
        for (int32_t x = 0; x < page->texWidth; ++x) {
            uint32_t pixel;
            std::memcpy(&pixel, row + static_cast<size_t>(x) * 4, 4);
            opaque &= (pixel >> 24) == 255;
            blackOutside &= x < blackFrom || (pixel & 0xFFFFFF) == 0;
        }
    }
    check(opaque, "alpha 255");
    check(blackOutside, "black outside the window");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kHeader = 9;
    if (size < kHeader)
        return 0;
    int32_t format = data[0] % 6 - 1;
    int32_t width = side(data + 1);
    int32_t height = side(data + 3);
    int32_t bias = take16(data + 7);
    const int64_t fileSize = static_cast<int64_t>(size - kHeader);
    int64_t start = take16(data + 5) % (fileSize + 300);
    int64_t pageSize = format >= 0 && format < kPixelFormatCount ? kPageSize[format] : 0;
    // Odd bias: a page end as the viewer passes it; even: an end near the end of the file, which
    // is where the backward wrap can cut the tail short.
    int64_t end = (bias & 1) ? start + pageSize + bias : fileSize + bias / 256;

    if (dataFile.fd < 0 && !openMemoryFile(&dataFile, "fuzz_load_page"))
        std::abort();
    if (!fillMemoryFile(&dataFile, data + kHeader, size - kHeader))
        std::abort();
    viewer.fileOffset = start;
    PageImage* page = loadPage(dataFile.path, format, width, height, start, end);
    bool knownFormat = format >= 0 && format < kPixelFormatCount;
    check((page != nullptr) == knownFormat, "a page exactly when the format is known");
    if (!page) {
        check(viewer.fileOffset == start, "offset untouched by a refused load");
        return 0;
    }

    check(isPowerOfTwoOrZero(page->texWidth) && isPowerOfTwoOrZero(page->texHeight),
          "power-of-two sides");
    check(page->texWidth == nextPowerOfTwo(width) && page->texHeight == nextPowerOfTwo(height),
          "sides follow the window");
    if (fileSize > 0)
        check(viewer.fileOffset >= 0 && viewer.fileOffset < fileSize, "offset inside the file");
    else
        check(viewer.fileOffset == 0, "offset 0 on an empty file");

    checkPixels(page, format, width, height);
    freePage(page);
    return 0;
}
