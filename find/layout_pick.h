// Stage 3: which pixel layout and width a run of rows of a known stride holds.
#pragma once

#include <cstdint>

struct Reading {
    int32_t layout;
    int32_t width;      // pixels
    int64_t stride;     // bytes
    int64_t rowPhase;   // an offset where a row begins, or -1 when the rows' start is not known
    float across;       // next pixel against half a row on, in the layout's channels (lower: smoother)
};

// Judges up to maxRows (at most 64) rows of stride bytes from r0 (rows need not start there).
// False when the bytes fit no layout.
bool pickLayout(const uint8_t* data, int64_t size, int64_t r0, int64_t stride, int64_t maxRows, Reading* out);

// The width of rows of layout and stride: the whole stride when rows a pixel or two short of it
// over a display's height make up a display's width (a screen whose edge column is black, not
// padded rows), else width.
int32_t displayWidth(int32_t layout, int32_t width, int64_t stride, int64_t rows);
