// Arbitrary bytes through the finder, with the options taken from the first bytes.
//
// Input: layouts (1 byte, low six bits, none means all; the top two bits pick the fewest rows,
// 16 to 64), smallest and largest width (2 bytes each, folded to 2 to 80, which bounds the lags
// searched), smallest region (2 bytes); the rest is the data, of which at most 1152 bytes are searched:
// the stride search's work grows with the data and its widest lag, and small inputs keep the runs
// many. A picture of 32-byte rows (the narrowest judged) passes the judge from 34 rows, 1088 bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "find/find.h"

static void check(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    constexpr size_t kHeader = 7;
    if (size < kHeader)
        return 0;
    FindOptions options = defaultFindOptions();
    options.layouts = data[0] & kAllLayouts;
    if (options.layouts == 0)
        options.layouts = kAllLayouts;
    int32_t a = 2 + (data[1] | data[2] << 8) % 79, b = 2 + (data[3] | data[4] << 8) % 79;
    options.minWidth = a < b ? a : b;
    options.maxWidth = a < b ? b : a;
    options.minBytes = 1 + (data[5] | data[6] << 8);
    options.minHeight = kFindHeightFloor << ((data[0] >> 6) + 1) / 2;
    const uint8_t* bytes = data + kHeader;
    const int64_t count = std::min<int64_t>(static_cast<int64_t>(size - kHeader), 1152);
    const int64_t base = 1000;

    std::vector<Find> finds;
    check(findInBuffer(bytes, count, base, options, &finds), "valid options accepted");
    int64_t previousStart = base, previousEnd = base;
    for (const Find& f : finds) {
        check(f.layout >= 0 && f.layout < kLayoutCount && (options.layouts >> f.layout & 1), "layout asked for");
        check(f.width >= options.minWidth && f.width <= options.maxWidth, "width in range");
        check(f.offset >= previousStart, "finds in order");
        check(2 * (previousEnd - f.offset) < f.bytes, "finds not mostly over each other");
        check(f.bytes >= options.minBytes && f.offset >= base && f.offset + f.bytes <= base + count, "region inside the data");
        check(f.stride >= rowBytes(f.layout, f.width) && f.bytes == (f.height - 1) * f.stride + rowBytes(f.layout, f.width),
              "rows of the stride");
        check(f.height >= options.minHeight, "at least the rows asked for");
        check(f.score >= 0.0f && f.score <= 1.0f, "score 0 to 1");
        previousStart = f.offset;
        previousEnd = std::max(previousEnd, f.offset + f.bytes);
    }
    return 0;
}
