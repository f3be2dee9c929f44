// Finds drawn as PNG files in a folder, read through the open scanned file.
#pragma once

#include <cstdint>
#include <string>

#include "common/raw_file.h"
#include "find/find.h"
#include "find/png_write.h"

// Larger finds are drawn as their first rows only, so that memory and files stay small.
constexpr int64_t kMaxExtractPixels = int64_t{16} << 20;

struct ExtractTarget {
    int fd;                  // the scanned file
    FileIdentity scanned;    // never written, by any name
    std::string dir;
};

// Makes dir when missing and proves that it takes a new file; false with the reason in error.
bool prepareExtractDir(const std::string& dir, std::string* error);

// DIR/OFFSET_layoutL_wWIDTH.png for f.
std::string extractName(const std::string& dir, const Find& f);

// Writes f as a new file: an existing name, a link included, is never written through or
// replaced. On failure nothing of it is left and error says which file and why. rows receives
// the rows drawn (fewer than f.height when cut at kMaxExtractPixels).
bool extractFind(const ExtractTarget& target, const Find& f, int32_t* rows, std::string* error);

// One row of width pixels of layout at bytes as R, G, B: grey levels as they are (4-bit ones
// times 17, the low nibble first), colours in the order given, or in kOrderOfLayout's: the
// viewer's way for 15 and 24 bits, B, G, R for 32 bits and 565.
void decodeRow(int32_t layout, PixelOrder order, const uint8_t* bytes, int32_t width, uint8_t* rgb);

// Draws f's first rows in picture order (the bottom row first in the file when f.bottomUp), every
// `every`-th row and pixel, into png, which was begun at that size; rows are read through the open
// scanned file fd, never by name. False when a read (readError set) or png fails.
bool drawFind(int fd, const Find& f, int32_t rows, int32_t every, PngWriter* png, int* readError);
