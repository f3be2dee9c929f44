// Stage 5: which candidate regions are pictures, how sure that is, and one find per picture.
#pragma once

#include <cstdint>
#include <vector>

#include "find/extent.h"
#include "find/find.h"
#include "find/layout_pick.h"

// What tells a picture from its lookalikes, measured over its rows.
struct RegionFeatures {
    float down;       // mean difference one row down over what unrelated bytes give
    float across;     // next pixel against half a row on
    float slant;      // one row down against one row down and a pixel aside
    float constant;   // share of byte columns of one value in every row
    float constantLit;  // the same, leaving out columns of zeros (a sprite's backdrop)
    float alike;      // share of columns alike one row down
    float zeros;      // share of zero bytes
    float ramp;       // share of bytes one more than the byte a pixel before, less those one less
    int32_t values;   // distinct byte values
    float zeroRun;    // mean length of the runs of zero bytes
    float litRun;     // and of the runs of other bytes
    // Between non-zero bytes only (a sprite's figure on its backdrop of zeros): the mean capped
    // difference to the next byte, one row down and half a row on (-1 when too few), and how
    // many non-zero values occur.
    float litAcross, litDown, litFar;
    int32_t litValues;
};

RegionFeatures measureRegion(const uint8_t* data, int64_t size, const Reading& reading, const Extent& extent, float base, float share);

// The measures the judge weighs: the hand-set rules' verdict and score beside what they are
// made from (judgeFeatures in prune.cpp gives their order).
constexpr int32_t kJudgeFeatures = 32;

// The score of rows of reading at extent, 0 when they are not a picture: text, or a table of
// records (alike down in a few fields only, unlike across). share is how alike one row down a
// column must be, against base, to count as alike: kMaxDownShare, or more for grainy rows
// (see growExtent). When features is not null it receives the measures weighed, or NaN in the
// first when the region was turned down before they were taken (text, ramps, sound).
float judgeRegion(const uint8_t* data, int64_t size, const Reading& reading, const Extent& extent, float base, float share,
                  float* features = nullptr);

// The learned judge's likelihood, 0 to 1, that a region with these measures is a picture.
float judgeLikelihood(const float* features);

// The score a find is listed with, 0 to 1: pictures large both ways rank first, as lookalikes that
// pass every test are mostly short or thin strips, then the likeness (quality, from judgeRegion)
// orders alike sizes.
float rankScore(float quality, int64_t rows, int64_t width);

// The rank f would have at its own quality with rows rows of width pixels.
float rankAt(const Find& f, int64_t rows, int64_t width);

// Sorts finds by offset and joins those that are one picture seen twice (the same layout and
// stride on one grid of rows, overlapping or a few rows apart); of other overlaps the larger
// share stays with the better score.
void mergeFinds(std::vector<Find>* finds);

// Whether a could still be joined with a find that starts at or after `from`.
bool mayGrowPast(const Find& a, int64_t from);
