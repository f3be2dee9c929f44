// Reading one page of the data file and decoding it into an RGBA image.
#pragma once

#include <cstdint>

enum PixelFormat : int32_t {
    kClut4 = 0,
    kClut8 = 1,
    kDirect15 = 2,
    kDirect24 = 3,
};

constexpr int32_t kPixelFormatCount = 4;

// Bytes requested per page, by format.
constexpr int32_t kPageSize[kPixelFormatCount] = {50000, 100000, 150000, 200000};

// Largest texture side a page may have; larger requests are refused rather than allocated.
constexpr int32_t kMaxTextureSide = 8192;

// One allocation: the two sizes, then texWidth * texHeight pixels of R, G, B, A, row 0 first.
struct PageImage {
    int32_t texWidth;
    int32_t texHeight;
    uint8_t* pixels;  // points just past this header, inside the same allocation
};

// Smallest power of two >= n for n >= 1; 0 for n <= 0. Above 2^30 the answer does not fit, and
// INT32_MAX stands for "too large".
int32_t nextPowerOfTwo(int32_t n);

// Reads [start, end) of the file at path and decodes it. Applies the end-of-file rules, which
// may rewrite viewer.fileOffset. Returns nullptr when the file cannot be read, the format is
// unknown or the texture would be too large.
PageImage* loadPage(const char* path, int32_t format, int32_t width, int32_t height, int64_t start,
                    int64_t end);

// An image of texWidth x texHeight pixels in one block, released with freePage; nullptr when
// memory is short. The pixels are left as they are.
PageImage* allocatePage(int32_t texWidth, int32_t texHeight);

// The decoding walk alone: count bytes at buffer fill image as a packed width x height picture
// in format (0 to 3), black elsewhere.
void decodePage(PageImage* image, int32_t format, int32_t width, int32_t height,
                const uint8_t* buffer, int64_t count);

void freePage(PageImage* page);
