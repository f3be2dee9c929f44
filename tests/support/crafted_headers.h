// Headers of stored pictures as a hostile file holds them, many to a MiB: claiming far more rows
// than there are, off the 16-byte boundary, a PNM comment that never ends, or a tiny picture
// after each. For the tests and the benchmark that bound the header stage's work; each also comes
// defused (its signatures broken), the plain file of the same size to compare with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum CraftedKind : int {
    kCraftedPnm,       // 32-byte records "\0P5 16384 1048576 255\n", zeros after
    kCraftedBmp,       // 64-byte records, a BMP header of 16384 x 65535 at byte 1
    kCraftedTiff,      // 128-byte records, a TIFF of 16384 x 1048576 at byte 1, its directory in it
    kCraftedComment,   // "P5#" over and over, no line end
    kCraftedTga,       // one TGA header of 4096 x 65535 grey, then zeros
    kCraftedTiny,      // PGMs of 16 x 16 smooth pixels back to back
    kCraftedKinds
};

inline const char* craftedName(CraftedKind kind)
{
    static const char* const names[kCraftedKinds] = {"pnm", "bmp", "tiff", "comment", "tga", "tiny"};
    return names[kind];
}

// size bytes of the kind; defused, with 'Q' for 'P', 'C' for 'B', 'J' for 'I' and TGA type 9.
inline std::vector<uint8_t> craftedHeaders(CraftedKind kind, size_t size, bool defused)
{
    std::vector<uint8_t> out;
    out.reserve(size + 512);
    auto le = [&out](uint32_t value, int bytes) {
        for (int k = 0; k < bytes; ++k)
            out.push_back(static_cast<uint8_t>(value >> (8 * k)));
    };
    auto text = [&out](const char* s) {
        for (; *s; ++s)
            out.push_back(static_cast<uint8_t>(*s));
    };
    auto padTo = [&out](size_t at) { out.resize(at, 0); };
    const char p = defused ? 'Q' : 'P', b = defused ? 'C' : 'B', i = defused ? 'J' : 'I';
    uint32_t seed = 12345;
    while (out.size() < size) {
        const size_t at = out.size();
        switch (kind) {
        case kCraftedPnm:
            out.push_back(0);
            out.push_back(static_cast<uint8_t>(p));
            text("5 16384 1048576 255\n");
            padTo(at + 32);
            break;
        case kCraftedBmp:
            out.push_back(0);
            out.push_back(static_cast<uint8_t>(b));
            out.push_back('M');
            le(0, 4), le(0, 4), le(54, 4), le(40, 4), le(16384, 4), le(65535, 4), le(1, 2), le(24, 2);
            le(0, 4), le(0, 4), le(2835, 4), le(2835, 4), le(0, 4), le(0, 4);
            padTo(at + 64);
            break;
        case kCraftedTiff: {
            out.push_back(0);
            out.push_back(static_cast<uint8_t>(i));
            out.push_back(static_cast<uint8_t>(i));
            le(42, 2), le(8, 4);
            const uint32_t fields[7][3] = {{256, 3, 16384}, {257, 4, 1048576}, {258, 3, 8}, {259, 3, 1},
                                           {262, 3, 1}, {273, 4, 8}, {277, 3, 1}};
            le(7, 2);
            for (const auto& [tag, type, value] : fields)
                le(tag, 2), le(type, 2), le(1, 4), le(value, 4);
            le(0, 4);
            padTo(at + 128);
            break;
        }
        case kCraftedComment:
            out.push_back(static_cast<uint8_t>(p));
            text("5#");
            break;
        case kCraftedTga:
            if (at == 0) {
                const uint8_t tga[18] = {0, 0, static_cast<uint8_t>(defused ? 9 : 3), 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 16, 255, 255, 8, 0};
                for (uint8_t v : tga)
                    out.push_back(v);
            }
            padTo(size);
            break;
        case kCraftedTiny:
            out.push_back(static_cast<uint8_t>(p));
            text("5 16 16 255\n");
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) {
                    seed = seed * 1103515245u + 12345u;
                    out.push_back(static_cast<uint8_t>(at / 7 + 3 * y + 2 * x + (seed >> 30)));
                }
            break;
        default:
            padTo(size);
            break;
        }
    }
    out.resize(size);
    return out;
}
