// Stage 4: how far a picture of a known stride reaches up and down from a seed row, and where
// its rows begin.
#pragma once

#include <cstdint>

#include "find/layout_pick.h"

struct Extent {
    int64_t start;  // first byte of the first row
    int64_t rows;
    float down;     // mean capped difference one row down over the rows
};

// Grows rows of reading.stride from the row at seed over [0, size) of data. base is what
// unrelated bytes differ by (from the stride search); rows belong while they differ one row down
// by at most share of it (kMaxDownShare; more for grainy rows, whose stride stood out only
// against the spread of the other lags). False when fewer than kMinRows remain.
bool growExtent(const uint8_t* data, int64_t size, int64_t seed, const Reading& reading, float base, float share, Extent* out);

// Whether rows of stride from the row at seed, read as bytes, reach kMinRows at all: a cheap
// test before the layout and the exact stride are known.
bool enoughRows(const uint8_t* data, int64_t size, int64_t seed, int64_t stride, float base, float share);
