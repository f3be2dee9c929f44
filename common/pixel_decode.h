// Pixels of the 15- and 24-bit layouts as the viewer shows them: words whose bytes read
// R, G, B, A. The viewer's page decoder and the finder's pictures both draw them so.
#pragma once

#include <cstdint>

constexpr uint32_t kOpaque = 0xFF000000u;

// Each 5-bit field moves to the top of its byte, the low one to red; bit 15 is dropped.
inline uint32_t decodeColour15(uint32_t word)
{
    return (word & 0x1Fu) << 3 | (word & 0x3E0u) << 6 | (word & 0x7C00u) << 9 | kOpaque;
}

// Three bytes: the first is red.
inline uint32_t decodeColour24(const uint8_t* p)
{
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 | kOpaque;
}
