// Arbitrary bytes through the finder, with the options taken from the first bytes.
//
// Input: layouts (1 byte, low four bits, none means all), smallest and largest width (2 bytes
// each, folded to 2 to 5000), smallest region (2 bytes); the rest is the data.
#include <cstddef>
#include <cstdint>
#include <cstdio>
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
    options.layouts = data[0] & 15u;
    if (options.layouts == 0)
        options.layouts = kAllLayouts;
    int32_t a = 2 + (data[1] | data[2] << 8) % 4999, b = 2 + (data[3] | data[4] << 8) % 4999;
    options.minWidth = a < b ? a : b;
    options.maxWidth = a < b ? b : a;
    options.minBytes = 1 + (data[5] | data[6] << 8);
    const uint8_t* bytes = data + kHeader;
    const int64_t count = static_cast<int64_t>(size - kHeader);
    const int64_t base = 1000;

    std::vector<Find> finds;
    check(findInBuffer(bytes, count, base, options, &finds), "valid options accepted");
    int64_t previousEnd = base;
    for (const Find& f : finds) {
        check(f.layout >= 0 && f.layout < kLayoutCount && (options.layouts >> f.layout & 1), "layout asked for");
        check(f.width >= options.minWidth && f.width <= options.maxWidth, "width in range");
        check(f.offset >= previousEnd, "finds in order, apart");
        check(f.bytes >= options.minBytes && f.offset + f.bytes <= base + count, "region inside the data");
        check(f.height >= 3, "at least three rows");
        check(f.score >= 0.0f && f.score <= 1.0f, "score 0 to 1");
        previousEnd = f.offset + f.bytes;
    }
    return 0;
}
