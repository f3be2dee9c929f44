#include "find/png_write.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void putBe32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value >> 24);
    at[1] = static_cast<uint8_t>(value >> 16);
    at[2] = static_cast<uint8_t>(value >> 8);
    at[3] = static_cast<uint8_t>(value);
}

bool writeChunk(PngWriter* png, const char type[4], const uint8_t* data, uint32_t size)
{
    uint8_t head[8], tail[4];
    putBe32(head, size);
    std::memcpy(head + 4, type, 4);
    uLong crc = crc32(0L, head + 4, 4);
    if (size > 0)
        crc = crc32(crc, data, size);
    putBe32(tail, static_cast<uint32_t>(crc));
    return png->sink.write(png->sink.user, head, 8) && (size == 0 || png->sink.write(png->sink.user, data, size)) &&
           png->sink.write(png->sink.user, tail, 4);
}

// Runs deflate over the input given; full output buffers (and at the finish, whatever is left)
// go out as IDAT chunks.
bool pump(PngWriter* png, int flush)
{
    for (;;) {
        const int status = deflate(&png->zlib, flush);
        if (status == Z_STREAM_ERROR || status == Z_MEM_ERROR)
            return false;
        const uInt produced = static_cast<uInt>(sizeof png->out) - png->zlib.avail_out;
        const bool full = png->zlib.avail_out == 0;
        if (full || (flush == Z_FINISH && produced > 0)) {
            if (!writeChunk(png, "IDAT", png->out, produced))
                return false;
            png->zlib.next_out = png->out;
            png->zlib.avail_out = sizeof png->out;
        }
        if (flush == Z_FINISH ? status == Z_STREAM_END : (png->zlib.avail_in == 0 && !full))
            return true;
    }
}

bool feed(PngWriter* png, const uint8_t* data, size_t size)
{
    png->zlib.next_in = const_cast<Bytef*>(data);
    png->zlib.avail_in = static_cast<uInt>(size);
    return pump(png, Z_NO_FLUSH);
}

uint8_t paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// The row filtered by filter (1 to 4) into out; returns the sum of the differences' sizes, the
// usual guess of which filter deflates best.
uint32_t filterRow(int filter, const uint8_t* row, const uint8_t* up, size_t size, uint8_t* out)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < size; ++i) {
        const int a = i >= 3 ? row[i - 3] : 0, b = up[i], c = i >= 3 ? up[i - 3] : 0;
        const int predicted = filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2 : paeth(a, b, c);
        out[i] = static_cast<uint8_t>(row[i] - predicted);
        sum += static_cast<uint32_t>(std::abs(static_cast<int8_t>(out[i])));
    }
    return sum;
}

}  // namespace

bool pngBegin(PngWriter* png, PngSink sink, int32_t width, int32_t height)
{
    std::memset(&png->zlib, 0, sizeof png->zlib);
    png->sink = sink;
    png->zlibOpen = false;
    png->width = width;
    png->rowsLeft = height;
    png->rows = nullptr;
    if (width <= 0 || height <= 0)
        return false;
    png->rows = static_cast<uint8_t*>(std::calloc(3, static_cast<size_t>(width) * 3 + 1));
    if (!png->rows || deflateInit(&png->zlib, 6) != Z_OK)
        return false;
    png->zlibOpen = true;
    png->zlib.next_out = png->out;
    png->zlib.avail_out = sizeof png->out;
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    uint8_t header[13];
    putBe32(header, static_cast<uint32_t>(width));
    putBe32(header + 4, static_cast<uint32_t>(height));
    header[8] = 8;   // bits per channel
    header[9] = 2;   // truecolour
    header[10] = header[11] = header[12] = 0;
    return sink.write(sink.user, kSignature, sizeof kSignature) && writeChunk(png, "IHDR", header, sizeof header);
}

bool pngRow(PngWriter* png, const uint8_t* rgb)
{
    if (png->rowsLeft <= 0)
        return false;
    --png->rowsLeft;
    const size_t size = static_cast<size_t>(png->width) * 3;
    uint8_t* up = png->rows;
    uint8_t* best = up + size;
    uint8_t* trial = best + size + 1;
    // Each buffer of filtered bytes starts with its filter's number.
    best[0] = 0;
    std::memcpy(best + 1, rgb, size);
    uint32_t least = 0;
    for (size_t i = 0; i < size; ++i)
        least += static_cast<uint32_t>(std::abs(static_cast<int8_t>(rgb[i])));
    for (int filter = 1; filter <= 4; ++filter) {
        trial[0] = static_cast<uint8_t>(filter);
        const uint32_t sum = filterRow(filter, rgb, up, size, trial + 1);
        if (sum < least) {
            least = sum;
            std::swap_ranges(best, best + size + 1, trial);
        }
    }
    std::memcpy(up, rgb, size);
    return feed(png, best, size + 1);
}

bool pngEnd(PngWriter* png)
{
    const bool ok = png->rowsLeft == 0 && pump(png, Z_FINISH) && writeChunk(png, "IEND", nullptr, 0);
    pngAbandon(png);
    return ok;
}

void pngAbandon(PngWriter* png)
{
    if (png->zlibOpen)
        deflateEnd(&png->zlib);
    png->zlibOpen = false;
    std::free(png->rows);
    png->rows = nullptr;
}
