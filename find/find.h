// The raster finder: locates raw pictures in a byte range, in the viewer's four layouts, with
// their first row, width and height. Used by tessvane-find; the viewer does not link it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Layouts, numbered as the viewer's pixel formats.
constexpr int32_t kFindLayoutCount = 4;
constexpr uint32_t kAllLayouts = 0xF;

// Widths the finder accepts at all; the defaults are narrower.
constexpr int32_t kFindWidthFloor = 2;
constexpr int32_t kFindWidthCeiling = 16384;

struct FindOptions {
    uint32_t layouts;  // bit n set: look for layout n
    int32_t minWidth;  // pixels
    int32_t maxWidth;
    int64_t minBytes;  // smallest region reported
    int64_t from;      // first byte scanned
    int64_t to;        // one past the last byte scanned; -1 for the end of the file
    int32_t threads;   // 0: one per core
};

// Every layout, widths 8 to 4096, regions of 4096 bytes and more, the whole file, every core.
FindOptions defaultFindOptions();

struct Find {
    int64_t offset;  // first byte of the first row
    int64_t bytes;   // length of the region
    int32_t layout;
    int32_t width;   // pixels per row
    int32_t height;  // whole rows
    float score;     // 0 to 1: how much more alike a pixel is to the one below than to others
};

// Called about ten times a second from the thread that called findInFile.
struct FindProgress {
    void (*report)(void* user, int64_t done, int64_t total);
    void* user;
};

// Scans size bytes at data, which stand at file offset base; the finds are appended in offset
// order. Single-threaded; options.from, to and threads are ignored. False when the options are
// out of range.
bool findInBuffer(const uint8_t* data, int64_t size, int64_t base, const FindOptions& options,
                  std::vector<Find>* finds);

// Scans [options.from, options.to) of the file at path, reading a window at a time on
// options.threads threads. On failure returns false with a message naming the file and the reason
// in error. *scanned receives the bytes scanned (fewer than asked when the file shrank).
bool findInFile(const char* path, const FindOptions& options, const FindProgress* progress,
                std::vector<Find>* finds, int64_t* scanned, char* error, size_t errorSize);

// Checks an option set; on failure names the bad option in error.
bool checkFindOptions(const FindOptions& options, char* error, size_t errorSize);

// "4-bit grey", "8-bit grey", "15-bit colour" or "24-bit colour".
const char* layoutName(int32_t layout);
