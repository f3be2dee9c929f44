#include "find/extract.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#endif

#include "common/pixel_decode.h"
#include "find/png_write.h"

namespace {

void putRgb(uint8_t* rgb, uint32_t word)
{
    rgb[0] = static_cast<uint8_t>(word);
    rgb[1] = static_cast<uint8_t>(word >> 8);
    rgb[2] = static_cast<uint8_t>(word >> 16);
}

std::string reason(int error)
{
    return std::strerror(error ? error : EIO);
}

struct FileSink {
    int fd;
    int error;  // errno of the first failed write
};

bool writeToFile(void* user, const uint8_t* data, size_t size)
{
    FileSink* sink = static_cast<FileSink*>(user);
    if (sink->error == 0 && !writeFully(sink->fd, data, size))
        sink->error = errno ? errno : EIO;
    return sink->error == 0;
}

}  // namespace

void decodeRow(int32_t layout, PixelOrder order, const uint8_t* bytes, int32_t width, uint8_t* rgb)
{
    // Where red sits: the first byte, or a word's low bits (0), else the last (2).
    const bool redFirst = order == kRedFirst || (order == kOrderOfLayout && (layout == kColour15 || layout == kColour24));
    const int red = redFirst ? 0 : 2, blue = 2 - red;
    const int highNibble = order == kHighNibbleFirst ? 1 : 0;
    for (int32_t x = 0; x < width; ++x, rgb += 3) {
        switch (layout) {
        case kGrey4: {
            const uint8_t level = static_cast<uint8_t>((bytes[x >> 1] >> (((x & 1) ^ highNibble) * 4) & 15) * 17);
            rgb[0] = rgb[1] = rgb[2] = level;
            break;
        }
        case kGrey8:
            rgb[0] = rgb[1] = rgb[2] = bytes[x];
            break;
        case kColour15: {
            uint8_t parts[3];
            putRgb(parts, decodeColour15(bytes[2 * x] | static_cast<uint32_t>(bytes[2 * x + 1]) << 8));
            rgb[red] = parts[0];
            rgb[1] = parts[1];
            rgb[blue] = parts[2];
            break;
        }
        case kColour24:
            rgb[red] = bytes[3 * x];
            rgb[1] = bytes[3 * x + 1];
            rgb[blue] = bytes[3 * x + 2];
            break;
        case kColour32:
            rgb[red] = bytes[4 * x];
            rgb[1] = bytes[4 * x + 1];
            rgb[blue] = bytes[4 * x + 2];
            break;
        default: {
            const uint32_t word = bytes[2 * x] | static_cast<uint32_t>(bytes[2 * x + 1]) << 8;
            rgb[blue] = static_cast<uint8_t>((word >> 11) * 255 / 31);
            rgb[1] = static_cast<uint8_t>((word >> 5 & 63) * 255 / 63);
            rgb[red] = static_cast<uint8_t>((word & 31) * 255 / 31);
        }
        }
    }
}

bool drawFind(int fd, const Find& f, int32_t rows, int32_t every, PngWriter* png, int* readError)
{
    const int64_t rowLength = rowBytes(f.layout, f.width);
    // Whole rows are read a batch at a time; sampled ones one by one.
    const int64_t batch = every == 1 ? std::max<int64_t>(1, (1 << 20) / f.stride) : 1;
    std::vector<uint8_t> bytes(static_cast<size_t>((batch - 1) * f.stride + rowLength));
    std::vector<uint8_t> rgb(static_cast<size_t>(f.width) * 3);
    const int32_t drawnWidth = (f.width + every - 1) / every;
    for (int64_t y = 0; y < rows; y += batch * every) {
        const int64_t count = std::min<int64_t>(batch, rows - y);
        // The batch's rows in file order: picture rows y on, upward in the file when bottom-up.
        const int64_t first = f.bottomUp ? f.height - y - count : y;
        const size_t want = static_cast<size_t>((count - 1) * f.stride + rowLength);
        const int64_t got = readAt(fd, f.offset + first * f.stride, bytes.data(), want);
        if (got < 0) {
            *readError = errno ? errno : EIO;
            return false;
        }
        // A file that shrank since the scan leaves the rest of the picture black.
        std::fill(bytes.begin() + got, bytes.begin() + static_cast<std::ptrdiff_t>(want), 0);
        for (int64_t k = 0; k < count; ++k) {
            const int64_t row = f.bottomUp ? count - 1 - k : k;
            decodeRow(f.layout, f.order, bytes.data() + row * f.stride, f.width, rgb.data());
            for (int32_t x = 1; x < drawnWidth; ++x)
                std::copy_n(rgb.data() + static_cast<size_t>(x) * every * 3, 3, rgb.data() + static_cast<size_t>(x) * 3);
            if (!pngRow(png, rgb.data()))
                return false;
        }
    }
    return true;
}

bool prepareExtractDir(const std::string& dir, std::string* error)
{
#ifdef _WIN32
    const int made = _mkdir(dir.c_str());
#else
    const int made = mkdir(dir.c_str(), 0777);
#endif
    if (made != 0 && errno != EEXIST) {
        *error = "cannot make " + dir + ": " + reason(errno);
        return false;
    }
    // Only a file made there proves that finds can be written.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string probe = dir + "/.tessvane-find-probe-" + std::to_string(attempt);
        const int fd = createNewFile(probe.c_str());
        if (fd == kNoFile && errno == EEXIST)
            continue;
        if (fd == kNoFile) {
            *error = "cannot write in " + dir + ": " + reason(errno);
            return false;
        }
        closeFile(fd);
        removeFile(probe.c_str());
        return true;
    }
    *error = "cannot write in " + dir + ": " + reason(EEXIST);
    return false;
}

std::string extractName(const std::string& dir, const Find& f)
{
    char name[64];
    std::snprintf(name, sizeof name, "/%012" PRId64 "_layout%d_w%d.png", f.offset, f.layout, f.width);
    return dir + name;
}

bool extractFind(const ExtractTarget& target, const Find& f, int32_t* rows, std::string* error)
{
    const std::string name = extractName(target.dir, f);
    *rows = static_cast<int32_t>(std::min<int64_t>(f.height, kMaxExtractPixels / std::max(1, f.width)));
    const int fd = createNewFile(name.c_str());
    if (fd == kNoFile) {
        *error = name + ": " + (errno == EEXIST ? std::string("already exists, not replaced") : reason(errno));
        return false;
    }
    FileIdentity made;
    if (!identifyOpenFile(fd, &made) || sameFile(made, target.scanned)) {
        closeFile(fd);
        *error = name + ": is the scanned file, not written";
        return false;
    }
    FileSink sink = {fd, 0};
    PngWriter* png = static_cast<PngWriter*>(std::malloc(sizeof(PngWriter)));
    int readError = 0;
    bool ok = png && pngBegin(png, {writeToFile, &sink}, f.width, *rows) && drawFind(target.fd, f, *rows, 1, png, &readError) &&
              pngEnd(png);
    if (png)
        pngAbandon(png);
    std::free(png);
    ok = closeFile(fd) && ok;
    if (!ok) {
        if (sink.error == 0 && errno != 0 && readError == 0)
            sink.error = errno;
        removeWrittenFile(name.c_str(), made);
        *error = name + ": " + (readError ? "cannot read the scanned file: " + reason(readError)
                                : sink.error ? reason(sink.error)
                                             : std::string("out of memory"));
    }
    return ok;
}
