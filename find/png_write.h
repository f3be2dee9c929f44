// PNG output, a row at a time, into any sink: a file for --extract, memory for pictures inlined
// elsewhere. Memory stays the size of two rows and zlib's state whatever the picture's size, and
// every failure (a short write, zlib out of memory) is reported. Each row is filtered the way
// that leaves the smallest differences, which shrinks smooth pictures by about half.
#pragma once

#include <cstddef>
#include <cstdint>
#include <zlib.h>

struct PngSink {
    bool (*write)(void* user, const uint8_t* data, size_t size);
    void* user;
};

struct PngWriter {
    PngSink sink;
    z_stream zlib;
    bool zlibOpen;
    int32_t width;
    int32_t rowsLeft;
    uint8_t out[1 << 15];  // deflated bytes waiting for their IDAT chunk
    uint8_t* rows;         // the row before (zero at first), then the filtered row
};

// Writes the signature and header; false on a write failure or when zlib has no memory.
bool pngBegin(PngWriter* png, PngSink sink, int32_t width, int32_t height);

// One row of width pixels of R, G, B bytes.
bool pngRow(PngWriter* png, const uint8_t* rgb);

// The last image data and the end; false when rows are missing or a write failed.
bool pngEnd(PngWriter* png);

// Frees zlib's state after a failure; harmless after pngEnd.
void pngAbandon(PngWriter* png);
