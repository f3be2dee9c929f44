// The finder's test material: small real files (tests/data/find, see its README.txt) and what
// they hold, and ways to put them among other bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "find/find.h"

using Bytes = std::vector<uint8_t>;

struct Sample {
    const char* file;
    int64_t offset;  // of the first row in the file
    int32_t layout;
    int32_t width;
    int32_t height;
    int64_t stride;
};

// A padded 24-bit BMP, an 8-bit palette BMP, a 565 and a 32-bit crop of an X server's screen.
extern const Sample kSamples[4];
// A grainy stone texture, barely more alike one row down than elsewhere.
extern const Sample kGrainySample;
constexpr const char* kLibrarySlice = "library_slice.bin";
constexpr const char* kCodeTableSlice = "code_table_slice.bin";
constexpr const char* kJumpTableSlice = "jump_table_slice.bin";
// 16-bit PCM sound that earlier finders read as 565 and as 32-bit pixels.
constexpr const char* kSoundSlices[2] = {"sound_565_slice.bin", "sound_stereo_slice.bin"};

// The file's bytes; empty (and a test failure) when it cannot be read.
Bytes readSample(const char* file);

// The sample's pixel rows alone.
Bytes samplePixels(const Sample& sample);

// Appends bytes to out; returns where they begin.
int64_t append(Bytes* out, const Bytes& bytes);

// A path of this process's own under /tmp.
std::string scratchPath(const char* name);

// Finds through findInBuffer, with the default options unless given.
std::vector<Find> findAll(const Bytes& data, FindOptions options = defaultFindOptions());

// Share of the sample at `at` that f covers, 0 when the layout, width or stride differ.
double coverage(const Find& f, const Sample& sample, int64_t at);

// Little-endian fields of a header being written.
void put(Bytes* out, uint32_t value, int bytes);

// A BMP file and info header, as ImageMagick writes them, for bottom-up rows of the sample (only
// part of its pixels may follow it).
Bytes bmpHeader(const Sample& s, int32_t bitsPerPixel);

// An uncompressed TGA header for the sample's rows (8-bit grey, 24 or 32-bit colour), as image
// programs write it.
Bytes tgaHeader(const Sample& s);

// A little-endian TIFF header for the sample's rows (8-bit grey or 3 or 4 samples a pixel) just
// after it, and the directory that follows the rows, as ImageMagick writes them.
Bytes tiffHeader(const Sample& s);
Bytes tiffDirectory(const Sample& s);
