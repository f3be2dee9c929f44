// The pixel layouts both programs know: the viewer shows the first four, the finder looks for all.
#pragma once

#include <cstdint>

enum PixelLayout : int32_t {
    kGrey4 = 0,      // two pixels a byte, low nibble first
    kGrey8 = 1,
    kColour15 = 2,   // 16-bit little-endian words, 5 bits each of red, green, blue from the bottom
    kColour24 = 3,   // three bytes a pixel
    kColour32 = 4,   // B, G, R, then an unused or alpha byte
    kColour565 = 5,  // 16-bit little-endian words: 5 bits blue, 6 green, 5 red from the bottom
};

constexpr int32_t kLayoutCount = 6;

// Nibbles per pixel, so that 4-bit pixels count too.
constexpr int32_t kNibblesPerPixel[kLayoutCount] = {1, 2, 4, 6, 8, 4};

// "4-bit grey", "8-bit grey", "15-bit colour", "24-bit colour", "32-bit colour", "RGB565 colour";
// "unknown" out of range.
const char* layoutName(int32_t layout);
