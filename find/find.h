// The raster finder: locates raw pictures in a byte range, in the layouts of common/pixel_layouts.h,
// with their first row, width, row stride and height. Used by tessvane-find; the viewer does not
// link it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/pixel_layouts.h"

constexpr uint32_t kAllLayouts = (1u << kLayoutCount) - 1;

// Widths the finder accepts at all; the defaults are narrower.
constexpr int32_t kFindWidthFloor = 2;
constexpr int32_t kFindWidthCeiling = 16384;
// Heights --min-height accepts; the finder grows no picture shorter than the floor.
constexpr int32_t kFindHeightFloor = 16;
constexpr int32_t kFindHeightCeiling = 1 << 20;

struct Find;

struct FindOptions {
    uint32_t layouts;  // bit n set: look for layout n
    int32_t minWidth;  // pixels
    int32_t maxWidth;
    int64_t minBytes;  // smallest region reported
    int32_t minHeight; // fewest rows reported
    int64_t from;      // first byte scanned
    int64_t to;        // one past the last byte scanned; -1 for the end of the file
    int32_t threads;   // 0: one per core; never more than the memory budget allows
    // Bytes the file scan reads at once, a multiple of kSegmentBytes; 0 for its own choice. The
    // finds do not depend on it (the tests try several).
    int64_t chunkBytes = 0;
    // Each region judged from its look, with the measures the judge weighed (kJudgeFeatures of
    // them) and the find it became (score 0: rejected): what tools/find_corpus trains the judge
    // on. Called from the searching threads; null for none.
    void (*onJudged)(void* user, const Find& region, const float* features) = nullptr;
    void* judgedUser = nullptr;
};

// Every layout, widths 8 to 4096, regions of 4096 bytes and 32 rows and more, the whole file,
// every core. Tables of records pass for pictures mostly in short runs of rows.
FindOptions defaultFindOptions();

// The order of a pixel's parts, where a stored picture's header fixes it; a find read from its look
// alone is drawn in its layout's order (common/pixel_layouts.h).
enum PixelOrder : int32_t {
    kOrderOfLayout = 0,
    kRedFirst,         // red in the first byte, or in a word's low bits (PPM, TIFF)
    kBlueFirst,        // blue there (BMP, TGA, XWD)
    kHighNibbleFirst,  // 4-bit pixels, the high nibble the left one (BMP)
};

struct Find {
    int64_t offset;  // first byte of the first row, in file order
    int64_t bytes;   // length of the region: (height - 1) * stride + the bytes of one row
    int32_t layout;
    int32_t width;   // pixels per row
    int32_t height;  // whole rows
    int64_t stride;  // bytes from one row to the next: the row's bytes, or more when padded
    float score;     // 0 to 1: how surely this is a picture; higher ranks first
    bool stored = false;  // read from the header of a stored picture (BMP, PNM, TGA) before it
    // As the stored picture's header says: its rows in file order run up the picture (BMP, TGA),
    // and the order of its pixels' parts.
    bool bottomUp = false;
    PixelOrder order = kOrderOfLayout;
};

// Checks an option set; on failure names the bad option in error.
bool checkFindOptions(const FindOptions& options, char* error, size_t errorSize);

// Scans size bytes at data, which stand at file offset base; the finds are appended in offset
// order. Single-threaded; options.from, to and threads are ignored. False when the options are
// out of range.
bool findInBuffer(const uint8_t* data, int64_t size, int64_t base, const FindOptions& options,
                  std::vector<Find>* finds);

struct FindCallbacks {
    // Each find, in file order, on the thread that called findInFile, as soon as no later part
    // of the scan can change it. Returning false ends the scan (stopped is then set).
    bool (*onFind)(void* user, const Find& find);
    // About ten times a second, on the same thread; may be null.
    void (*onProgress)(void* user, int64_t done, int64_t total);
    void* user;
    // Set from anywhere (a signal handler) to end the scan early; may be null.
    const std::atomic<bool>* stop;
};

struct ScanResult {
    int64_t size;      // the file's (or device's) length when the scan began
    // Bytes of [from, to) whose finds are all listed: a scan stopped early resumes without a gap
    // at from + scanned.
    int64_t scanned;
    int64_t shrunkTo;  // where the file ended when it shrank under the scan, else -1
    int32_t threads;   // threads the scan ran on
    bool stopped;      // ended early through stop or onFind
};

// Scans [options.from, options.to) of the open file fd (a regular file or a block device), a
// window at a time on several threads, reading only through fd. Finds that start in the range
// reach callbacks.onFind, whole and as a scan of the whole file gives them: bytes up to
// kLeadBytes before the range and past its end, as far as a picture across it goes, are read too.
// A file that shrinks under the scan is scanned up to its new end (result->shrunkTo says so).
// False, with the reason in error, when the file cannot be read.
bool findInFile(int fd, const FindOptions& options, const FindCallbacks& callbacks, ScanResult* result,
                char* error, size_t errorSize);

// Most threads a scan runs on with these options, so that its buffers stay within the memory
// budget whatever --threads asks for.
int32_t threadLimit(const FindOptions& options);

// Bytes of one row of width pixels in layout, rounded up to whole bytes.
int64_t rowBytes(int32_t layout, int32_t width);
