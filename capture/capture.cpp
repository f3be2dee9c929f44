#include "capture/capture.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/raw_file.h"
#include "app/settings.h"
#include "app/viewer_state.h"
#include "display/platform.h"
#include "page/page.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TESSVANE_CAPTURE_SSSE3 1
#include <immintrin.h>
#endif

constexpr size_t kBmpHeaderSize = 54;

static void putLe16(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

static void putLe32(uint8_t* at, uint32_t value)
{
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
    at[2] = static_cast<uint8_t>(value >> 16);
    at[3] = static_cast<uint8_t>(value >> 24);
}

#ifdef TESSVANE_CAPTURE_SSSE3
// Sixteen RGBA pixels become 48 bytes of B,G,R per round; returns the pixels done. Each output
// vector is two byte shuffles ORed together, which keeps the shuffle unit, the limit here, at
// six operations a round.
__attribute__((target("ssse3"))) static size_t convertPixelsSsse3(const uint8_t* from, uint8_t* to,
                                                                   size_t count)
{
    const __m128i aToFirst = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m128i bToFirst = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 1, 0, 6);
    const __m128i bToSecond = _mm_setr_epi8(5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i cToSecond = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9);
    const __m128i cToThird = _mm_setr_epi8(8, 14, 13, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i dToThird = _mm_setr_epi8(-1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12);
    size_t done = 0;
    for (; done + 16 <= count; done += 16, from += 64, to += 48) {
        const __m128i* in = reinterpret_cast<const __m128i*>(from);
        __m128i a = _mm_loadu_si128(in);
        __m128i b = _mm_loadu_si128(in + 1);
        __m128i c = _mm_loadu_si128(in + 2);
        __m128i d = _mm_loadu_si128(in + 3);
        __m128i* out = reinterpret_cast<__m128i*>(to);
        _mm_storeu_si128(out, _mm_or_si128(_mm_shuffle_epi8(a, aToFirst), _mm_shuffle_epi8(b, bToFirst)));
        _mm_storeu_si128(out + 1,
                         _mm_or_si128(_mm_shuffle_epi8(b, bToSecond), _mm_shuffle_epi8(c, cToSecond)));
        _mm_storeu_si128(out + 2,
                         _mm_or_si128(_mm_shuffle_epi8(c, cToThird), _mm_shuffle_epi8(d, dToThird)));
    }
    return done;
}

static bool haveSsse3()
{
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}
#endif

uint8_t* buildBmpFile(const PageImage* page, size_t* fileSize)
{
    size_t width = page->texWidth > 0 ? static_cast<size_t>(page->texWidth) : 0;
    size_t height = page->texHeight > 0 ? static_cast<size_t>(page->texHeight) : 0;
    uint64_t wideRowSize = (static_cast<uint64_t>(width) * 3 + 3) & ~static_cast<uint64_t>(3);
    // The header holds the sizes in 32 bits.
    if (wideRowSize * height > 0xffffffffu - kBmpHeaderSize)
        return nullptr;
    size_t pixelBytes = width * 3;
    size_t rowSize = static_cast<size_t>(wideRowSize);
    size_t imageSize = rowSize * height;
    size_t total = kBmpHeaderSize + imageSize;
    uint8_t* file = static_cast<uint8_t*>(std::malloc(total));
    if (!file)
        return nullptr;

    std::memset(file, 0, kBmpHeaderSize);
    file[0] = 'B';
    file[1] = 'M';
    putLe32(file + 2, static_cast<uint32_t>(total));
    putLe32(file + 10, kBmpHeaderSize);
    putLe32(file + 14, 40);
    putLe32(file + 18, static_cast<uint32_t>(width));
    putLe32(file + 22, static_cast<uint32_t>(height));
    putLe16(file + 26, 1);
    putLe16(file + 28, 24);
    putLe32(file + 34, static_cast<uint32_t>(imageSize));

#ifdef TESSVANE_CAPTURE_SSSE3
    bool fast = haveSsse3();
#endif
    // Bottom-up: the page's last row comes first in the file. The page is read forwards and the
    // file filled backwards, which measured faster than the other way round.
    for (size_t row = 0; row < height; ++row) {
        uint8_t* to = file + kBmpHeaderSize + (height - 1 - row) * rowSize;
        const uint8_t* from = page->pixels + row * width * 4;
        size_t done = 0;
#ifdef TESSVANE_CAPTURE_SSSE3
        if (fast)
            done = convertPixelsSsse3(from, to, width);
#endif
        const uint8_t* in = from + done * 4;
        uint8_t* out = to + done * 3;
        for (size_t x = done; x < width; ++x, in += 4, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        for (size_t pad = pixelBytes; pad < rowSize; ++pad)
            to[pad] = 0;
    }
    *fileSize = total;
    return file;
}

bool formatCaptureName(char* name, size_t capacity, const char* base, int32_t counter)
{
    if (capacity == 0)
        return false;
    char zeros[11];
    int zeroCount = 0;
    for (int32_t d = 1000000000; d >= 1 && d > counter; d /= 10)
        zeros[zeroCount++] = '0';
    zeros[zeroCount] = '\0';
    // On false, name holds as much of the full name as fits.
    int length =
        std::snprintf(name, capacity, "%s_%s%i.bmp", base, zeros, static_cast<int>(counter));
    return length >= 0 && static_cast<size_t>(length) < capacity;
}

// The viewer only ever reads its data and settings files: a capture name that reaches either,
// by whatever spelling or link, is refused.
static bool isViewerInput(const FileIdentity& target)
{
    const char* inputs[] = {viewer.dataPath, kSettingsFileName};
    for (const char* path : inputs) {
        FileIdentity input;
        if (path[0] && identifyPath(path, &input) && sameFile(input, target))
            return true;
    }
    return false;
}

void captureBmp()
{
    if (!viewer.page)
        return;
    if (!viewer.capturePath[0]) {
        showError("Base output name not specified, cannot save.");
        return;
    }
    char name[kTextCapacity];
    if (!formatCaptureName(name, sizeof name, viewer.capturePath, viewer.captureCounter)) {
        showError("Could not open '%s' to save.", name);
        return;
    }
    size_t size = 0;
    uint8_t* file = buildBmpFile(viewer.page, &size);
    if (!file)
        return;
    // An existing file is opened without creating anything; only a name that is free is made
    // anew (never through a link), so that a refused capture leaves nothing behind.
    int fd = openExistingForWrite(name);
    bool created = false;
    if (fd == kNoFile && errno == ENOENT) {
        fd = createNewFile(name);
        created = fd != kNoFile;
    }
    FileIdentity target;
    // Only a file keeps a picture: a FIFO, a socket or a device other than the null device would
    // take part of it or none.
    if (fd != kNoFile && (!identifyOpenFile(fd, &target) || isViewerInput(target) ||
                          (!target.regular && !isNullDevice(name, target)))) {
        closeFile(fd);
        if (created)
            removeWrittenFile(name, target);
        fd = kNoFile;
    }
    if (fd == kNoFile) {
        std::free(file);
        showError("Could not open '%s' to save.", name);
        return;
    }
    // Truncating matters: an older, longer file of the same name must not keep its tail.
    bool written = truncateOpenFile(fd) && writeFully(fd, file, size);
    written = closeFile(fd) && written;
    std::free(file);
    if (!written) {
        // A partial picture (full disk, quota) would pass for a good one, so it goes; but only
        // the file written here, never a link or a device the name led to.
        removeWrittenFile(name, target);
        showError("Could not write '%s' completely.", name);
        return;
    }
    // Unsigned so that the last number wraps instead of overflowing.
    viewer.captureCounter = static_cast<int32_t>(static_cast<uint32_t>(viewer.captureCounter) + 1);
}
