#include "find/headers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "find/find_kernels.h"
#include "find/prune.h"
#include "find/sieve.h"
#include "find/tuning.h"

static_assert(kFollowBytes + 2 * (int64_t{kFindWidthCeiling} * 4 + 4) + kHeaderBytes <= kFetchBytes,
              "a span of rows followed, with a row either side, fits what is fetched at once");

namespace {

void spend(HeaderWork* work, int64_t bytes)
{
    if (work)
        work->examined += bytes;
}

// Whether the n bytes at p are all one value: each is the one after it.
bool sameBytes(const uint8_t* p, int64_t n, HeaderWork* work)
{
    spend(work, n);
    return n <= 1 || std::memcmp(p, p + 1, static_cast<size_t>(n - 1)) == 0;
}

// Where the stage reads bytes beyond its buffer, and what it counts its work in.
struct Source {
    FetchBytes fetch;
    void* user;
    HeaderWork* work;
    HeaderCache* cache;
};

struct Stored {
    int64_t pixels;  // offset of the first row in the bytes
    int32_t layout;
    int64_t width;
    int64_t height;
    int64_t stride;
    bool strideMustAgree;  // the header is too plain to trust unless the find's rows agree
    bool bottomUp = false;
    PixelOrder order = kOrderOfLayout;
};

uint32_t u16(const uint8_t* p)
{
    return p[0] | p[1] << 8;
}

uint32_t u32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

int32_t bmpLayout(uint32_t bpp, uint32_t compression, uint32_t redMask)
{
    switch (bpp) {
    case 4: return compression == 0 ? kGrey4 : -1;
    case 8: return compression == 0 ? kGrey8 : -1;
    case 24: return compression == 0 ? kColour24 : -1;
    case 32: return compression == 0 || compression == 3 || compression == 6 ? kColour32 : -1;
    case 16:
        if (compression == 0)
            return kColour15;
        if (compression != 3 && compression != 6)
            return -1;
        return redMask == 0xF800 ? kColour565 : redMask == 0x7C00 ? kColour15 : -1;
    default: return -1;
    }
}

// A BMP file header and info header at p, every field consistent with the others.
bool bmpAt(const uint8_t* p, int64_t left, Stored* s)
{
    if (left < 58 || p[0] != 'B' || p[1] != 'M')
        return false;
    const uint32_t fileSize = u32(p + 2), offBits = u32(p + 10), infoSize = u32(p + 14);
    int64_t width, height;
    uint32_t planes, bpp, compression = 0, imageSize = 0;
    if (infoSize == 12) {
        width = u16(p + 18), height = u16(p + 20), planes = u16(p + 22), bpp = u16(p + 24);
    } else if (infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 64 || infoSize == 108 || infoSize == 124) {
        width = static_cast<int32_t>(u32(p + 18)), height = static_cast<int32_t>(u32(p + 22));
        planes = u16(p + 26), bpp = u16(p + 28), compression = u32(p + 30), imageSize = u32(p + 34);
    } else {
        return false;
    }
    const bool bottomUp = height > 0;
    height = std::abs(height);
    if (planes != 1 || width < 2 || width > kFindWidthCeiling || height < 1 || height > kFindHeightCeiling)
        return false;
    const int32_t layout = bmpLayout(bpp, compression, u32(p + 54));
    const int64_t stride = (width * bpp + 31) / 32 * 4, area = stride * height;
    // The pixels follow the headers, the bit masks and at most a full palette.
    const int64_t headers = 14 + int64_t{infoSize};
    if (layout < 0 || offBits < headers || offBits > headers + 16 + 4 * 256)
        return false;
    if (fileSize != 0 && (fileSize < offBits + area || fileSize > offBits + area + 4))
        return false;
    if (imageSize != 0 && imageSize != area && imageSize != area + 2)
        return false;
    *s = {offBits, layout, width, height, stride, false, bottomUp,
          bpp == 4 ? kHighNibbleFirst : bpp == 32 && compression == 3 && u32(p + 54) == 0xFF ? kRedFirst : kBlueFirst};
    return true;
}

// A decimal after whitespace and comment lines, as the PNM header writes its numbers.
bool pnmNumber(const uint8_t* p, int64_t left, int64_t* at, int64_t* value)
{
    int64_t i = *at;
    for (;;) {
        while (i < left && (p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\r'))
            ++i;
        if (i >= left || p[i] != '#')
            break;
        const void* newline = std::memchr(p + i, '\n', static_cast<size_t>(left - i));
        i = newline ? static_cast<const uint8_t*>(newline) - p : left;
    }
    int64_t v = 0, digits = 0;
    for (; i < left && p[i] >= '0' && p[i] <= '9' && digits < 8; ++i, ++digits)
        v = v * 10 + (p[i] - '0');
    *at = i;
    *value = v;
    return digits > 0 && digits < 8;
}

// A binary PGM (P5) or PPM (P6) header of 8-bit samples at p, comments and all within
// kHeaderBytes: a comment that runs on further is no header's. Sets *read to the bytes looked at.
bool pnmAt(const uint8_t* p, int64_t left, Stored* s, int64_t* read)
{
    left = std::min(left, kHeaderBytes);
    *read = std::min<int64_t>(left, 2);
    if (left < 8 || p[0] != 'P' || (p[1] != '5' && p[1] != '6'))
        return false;
    int64_t at = 2, width, height, maxValue;
    const bool numbers = pnmNumber(p, left, &at, &width) && pnmNumber(p, left, &at, &height) && pnmNumber(p, left, &at, &maxValue);
    *read = std::min(left, at + 1);
    if (!numbers)
        return false;
    if (at >= left || !(p[at] == ' ' || p[at] == '\n' || p[at] == '\r' || p[at] == '\t'))
        return false;
    if (width < 2 || width > kFindWidthCeiling || height < 1 || height > kFindHeightCeiling || maxValue < 1 || maxValue > 255)
        return false;
    const int32_t layout = p[1] == '5' ? kGrey8 : kColour24;
    *s = {at + 1, layout, width, height, width * (layout == kGrey8 ? 1 : 3), false, false, kRedFirst};
    return true;
}

// An uncompressed true-colour or grey TGA header at p. Its fields have no signature, so the
// find's rows must agree with it.
bool tgaAt(const uint8_t* p, int64_t left, Stored* s)
{
    if (left < 18 || p[1] != 0 || (p[2] != 2 && p[2] != 3) || (p[17] & 0xC0) != 0 || (p[17] & 15) > 8)
        return false;
    for (int k = 3; k < 8; ++k)
        if (p[k] != 0)
            return false;
    const int64_t width = u16(p + 12), height = u16(p + 14), depth = p[16];
    const int32_t layout = p[2] == 3 ? (depth == 8 ? kGrey8 : -1)
                         : depth == 16 ? kColour15 : depth == 24 ? kColour24 : depth == 32 ? kColour32 : -1;
    if (layout < 0 || width < 2 || width > kFindWidthCeiling || height < 1 || u16(p + 8) > width || u16(p + 10) > height)
        return false;
    // Rows run bottom-up unless bit 5 of the descriptor says top-down.
    *s = {18 + int64_t{p[0]}, layout, width, height, width * depth / 8, true, (p[17] & 0x20) == 0, kBlueFirst};
    return true;
}

uint32_t be32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// An X window dump (XWD) header at p: what an X server keeps before its frame buffer (Xvfb does
// so in memory and in its -fbdir files) and xwd writes. Fields are big-endian; only pixels in the
// layouts here (little-endian, 8, 16 or 32 bits) are taken.
bool xwdAt(const uint8_t* p, int64_t left, Stored* s)
{
    if (left < 100)
        return false;
    uint32_t f[25];
    for (int k = 0; k < 25; ++k)
        f[k] = be32(p + 4 * k);
    const uint32_t headerSize = f[0], width = f[4], height = f[5], bits = f[11], line = f[12], red = f[14], colours = f[19];
    if (headerSize < 100 || headerSize > 4096 || f[1] != 7 || f[2] != 2 || f[6] != 0 || f[7] != 0 || colours > 4096)
        return false;
    if (width < 2 || width > static_cast<uint32_t>(kFindWidthCeiling) || height < 1 || height > static_cast<uint32_t>(kFindHeightCeiling))
        return false;
    const int32_t layout = bits == 8 ? kGrey8
                         : bits == 16 ? (red == 0xF800 ? kColour565 : red == 0x7C00 ? kColour15 : -1)
                         : bits == 32 && red == 0xFF0000 && f[15] == 0xFF00 && f[16] == 0xFF ? kColour32 : -1;
    if (layout < 0 || line < width * (bits / 8) || line > width * (bits / 8) + 64)
        return false;
    *s = {int64_t{headerSize} + 12 * int64_t{colours}, layout, width, height, line, false, false, kBlueFirst};
    return true;
}

// A TIFF header at p: "II*\0" (little-endian) or "MM\0*", then where its first directory is. The
// directory, often after the pixels, is read through fetch (tiffAt).
bool tiffSignature(const uint8_t* p, int64_t left)
{
    return left >= 8 && ((p[0] == 'I' && p[1] == 'I' && p[2] == 42 && p[3] == 0) ||
                         (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && p[3] == 42));
}

struct TiffHeader {
    int64_t at;  // file offset
    bool big;
    uint32_t directory;  // from at
};

uint32_t tiff16(const uint8_t* p, bool big)
{
    return big ? p[0] << 8 | p[1] : p[0] | p[1] << 8;
}

uint32_t tiff32(const uint8_t* p, bool big)
{
    return big ? be32(p) : u32(p);
}

// A directory entry's first value: in the entry when it fits, else read from where it points.
bool tiffValue(const TiffHeader& t, const uint8_t* e, const Source& src, uint32_t* value)
{
    const uint32_t type = tiff16(e + 2, t.big), count = tiff32(e + 4, t.big);
    const int64_t size = type == 3 ? 2 : type == 4 ? 4 : 0;
    if (size == 0 || count == 0)
        return false;
    if (count * size <= 4) {
        *value = size == 2 ? tiff16(e + 8, t.big) : tiff32(e + 8, t.big);
        return true;
    }
    int64_t lo = t.at + tiff32(e + 8, t.big);
    const int64_t wanted = lo;
    const uint8_t* bytes = nullptr;
    spend(src.work, size);
    if (src.fetch(src.user, &lo, wanted + size, &bytes) < size || lo != wanted)
        return false;
    *value = size == 2 ? tiff16(bytes, t.big) : tiff32(bytes, t.big);
    return true;
}

// An uncompressed, chunky TIFF of 8-bit grey, RGB or RGBA samples, its pixels in its first strip on.
bool tiffAt(const TiffHeader& t, const Source& src, Stored* s)
{
    constexpr int kMaxEntries = 64;
    int64_t lo = t.at + t.directory;
    const uint8_t* bytes = nullptr;
    const int64_t n = src.fetch(src.user, &lo, lo + 2 + 12 * kMaxEntries, &bytes);
    if (t.directory < 8 || lo != t.at + t.directory || n < 2)
        return false;
    const uint32_t entries = tiff16(bytes, t.big);
    spend(src.work, 2);
    if (entries == 0 || entries > kMaxEntries || n < 2 + 12 * int64_t{entries})
        return false;
    spend(src.work, 12 * int64_t{entries});
    // The entries first, as fetch reuses its bytes.
    uint8_t copy[12 * kMaxEntries];
    std::memcpy(copy, bytes + 2, 12 * entries);
    uint32_t width = 0, height = 0, bits = 8, compression = 1, samples = 1, planar = 1, strip = 0;
    for (uint32_t k = 0; k < entries; ++k) {
        const uint8_t* e = copy + 12 * k;
        uint32_t* field = nullptr;
        switch (tiff16(e, t.big)) {
        case 256: field = &width; break;
        case 257: field = &height; break;
        case 258: field = &bits; break;
        case 259: field = &compression; break;
        case 273: field = &strip; break;
        case 277: field = &samples; break;
        case 284: field = &planar; break;
        default: break;
        }
        if (field && !tiffValue(t, e, src, field))
            return false;
    }
    const int32_t layout = samples == 1 ? kGrey8 : samples == 3 ? kColour24 : samples == 4 ? kColour32 : -1;
    if (layout < 0 || bits != 8 || compression != 1 || planar != 1 || strip < 8 || width < 2 ||
        width > static_cast<uint32_t>(kFindWidthCeiling) || height < 1 || height > static_cast<uint32_t>(kFindHeightCeiling))
        return false;
    *s = {strip, layout, width, height, int64_t{width} * samples, false, false, kRedFirst};
    return true;
}

// Whether f's stride is the stored rows' or a few rows of them, give or take a pixel or two.
bool stridesAgree(const Find& f, const Stored& s)
{
    for (int64_t k = 1; k <= 4; ++k)
        if (std::abs(f.stride - k * s.stride) <= 2 * k * std::max(1, kNibblesPerPixel[s.layout] / 2))
            return true;
    return false;
}

// Whether a header may begin at h, from its first three bytes (of which left are there): most
// positions fail here.
inline bool mayBeHeader(const uint8_t* h, int64_t left)
{
    return left >= 18 && ((h[0] == 'B' && h[1] == 'M') || (h[0] == 'P' && (h[1] == '5' || h[1] == '6')) ||
                          (h[1] == 0 && (h[2] == 2 || h[2] == 3)) || (h[0] == 0 && h[1] == 0 && h[7] == 7) ||
                          tiffSignature(h, left));
}

// The first position from `from`, on the stored pictures' boundary and before end, where a header
// may begin (bytes [0, n) stand at file offset at), or end. Out of line: the fuzz build leaves
// such plain scans untraced.
[[gnu::noinline]] int64_t nextCandidate(const uint8_t* bytes, int64_t n, int64_t at, int64_t from, int64_t end)
{
    for (int64_t q = (from + kStoredAlign - 1) / kStoredAlign * kStoredAlign; q < end; q += kStoredAlign)
        if (mayBeHeader(bytes + (q - at), n - (q - at)))
            return q;
    return end;
}

// Whether a BMP, PNM or TIFF signature begins at h (two bytes of it there at least).
bool signatureAt(const uint8_t* h)
{
    return (h[0] == 'B' && h[1] == 'M') || (h[0] == 'P' && (h[1] == '5' || h[1] == '6')) ||
           (h[0] == 'I' && h[1] == 'I') || (h[0] == 'M' && h[1] == 'M');
}

// The first position in [from, end) where a BMP, PNM or TIFF signature begins, or end; bytes up to
// end + 1 are read. These signatures are strong enough to be looked for at every byte (files in
// packs, firmware and plain concatenations lie at any offset); sixteen bytes at a time in vector
// registers. Out of line, and untraced in the fuzz build.
[[gnu::noinline]] int64_t nextSignature(const uint8_t* data, int64_t from, int64_t end)
{
    using Bytes16 = uint8_t __attribute__((vector_size(16)));
    int64_t p = from;
    for (; p + 16 <= end; p += 16) {
        Bytes16 a, b;
        std::memcpy(&a, data + p, 16);
        std::memcpy(&b, data + p + 1, 16);
        const auto hit = ((a == 'B') & (b == 'M')) | ((a == 'P') & ((b == '5') | (b == '6'))) |
                         ((a == 'I') & (b == 'I')) | ((a == 'M') & (b == 'M'));
        uint64_t lanes[2];
        std::memcpy(lanes, &hit, 16);
        if ((lanes[0] | lanes[1]) != 0)
            break;
    }
    for (; p < end; ++p)
        if (signatureAt(data + p))
            return p;
    return end;
}

// A header at h, of any kind; a TGA one must agree with the find's rows (strict false) or be the
// plain kind image programs write, with no ID field and its origin at 0 (strict true).
[[gnu::noinline]] bool headerAt(const uint8_t* h, int64_t left, bool strict, Stored* s, HeaderWork* work)
{
    if (h[0] == 'B') {
        spend(work, 58);
        return bmpAt(h, left, s);
    }
    if (h[0] == 'P') {
        int64_t read = 0;
        const bool ok = pnmAt(h, left, s, &read);
        spend(work, read);
        return ok;
    }
    spend(work, 100);
    // Both kinds are longer than a TGA header; a picture's pixels may end a few bytes before the end.
    if (left < 18)
        return false;
    if (h[0] == 0 && h[1] == 0 && h[7] == 7 && xwdAt(h, left, s))
        return true;
    if (h[1] != 0 || (h[2] != 2 && h[2] != 3) || !tgaAt(h, left, s))
        return false;
    if (strict && (h[0] != 0 || u16(h + 8) != 0 || u16(h + 10) != 0))
        return false;
    s->strideMustAgree = !strict;
    return true;
}

// Where the next header of any kind begins in [from, end), from within the bytes [at, at + n): BMP,
// PNM and TIFF ones at any byte, TGA and XWD ones on the boundary; a TIFF one by its signature, as
// its directory may lie anywhere. A stored picture's rows end there. Sets *found to the header
// when one is given and it is no TIFF one (those are read through fetch).
int64_t nextHeader(const uint8_t* bytes, int64_t n, int64_t at, int64_t from, int64_t end, HeaderWork* work,
                   Stored* found = nullptr, bool* tiff = nullptr)
{
    end = std::min(end, at + n);
    const int64_t signatureEnd = std::min(end, at + n - 1);
    auto nextSignatureAt = [&](int64_t p) {
        const int64_t q = p < signatureEnd ? at + nextSignature(bytes, p - at, signatureEnd - at) : end;
        return q < signatureEnd ? q : end;
    };
    // Boundary positions are scanned only up to the next signature: between headers met at
    // every byte, the boundary is not scanned again and again.
    int64_t signature = nextSignatureAt(from);
    int64_t alignedEnd = std::min(end, signature + 1);
    int64_t aligned = nextCandidate(bytes, n, at, from, alignedEnd);  // alignedEnd: none before it
    for (;;) {
        const int64_t q = std::min(aligned, signature);
        if (q >= end) {
            spend(work, std::max<int64_t>(0, end - from));
            return end;
        }
        Stored s;
        const uint8_t* h = bytes + (q - at);
        const bool isTiff = tiffSignature(h, at + n - q);
        if (isTiff || headerAt(h, at + n - q, true, &s, work)) {
            spend(work, q - from);
            if (found && !isTiff)
                *found = s;
            if (tiff)
                *tiff = isTiff;
            return q;
        }
        if (q == aligned && aligned < alignedEnd)
            aligned = nextCandidate(bytes, n, at, q + 1, alignedEnd);
        if (q == signature) {
            signature = nextSignatureAt(q + 1);
            const int64_t further = std::min(end, signature + 1);
            if (aligned >= alignedEnd)
                aligned = nextCandidate(bytes, n, at, alignedEnd, further);
            alignedEnd = further;
        }
    }
}

// Whether the stored picture whose first row is at `first` holds f: most of f's bytes, or f's first
// row on its grid (f read its rows on past their end, as when pictures are stored back to back).
bool holds(const Stored& s, int64_t first, const Find& f)
{
    const int64_t area = s.stride * s.height;
    const int64_t overlap = std::min(f.offset + f.bytes, first + area) - std::max(f.offset, first);
    const bool onGrid = f.stride == s.stride && f.offset >= first && (f.offset - first) % s.stride == 0 && f.offset < first + area;
    return (2 * overlap > f.bytes || onGrid) && (!s.strideMustAgree || stridesAgree(f, s));
}

// TIFF headers met on the way back, whose directories are read after the search.
struct TiffHeaders {
    TiffHeader list[4];
    int count = 0;
};

// The nearest stored picture whose header lies in bytes [0, from), every step bytes (bytes stand
// at file offset at), and that holds f. Sets *start to its first row's offset.
// The last position up to p (of bytes [0, n)) where a header may begin, or -1: 16 positions at a
// time where all the bytes they look at are there.
int64_t lastMayBeHeader(const uint8_t* bytes, int64_t n, int64_t p)
{
    for (; p >= 0 && p + 23 > n; --p)
        if (mayBeHeader(bytes + p, n - p))
            return p;
    for (; p >= 15; p -= 16) {
        for (uint32_t marks = headerMarks(bytes + p - 15); marks != 0;) {
            const int k = 31 - __builtin_clz(marks);
            if (mayBeHeader(bytes + p - 15 + k, n - (p - 15 + k)))
                return p - 15 + k;
            marks &= ~(1u << k);
        }
    }
    for (; p >= 0; --p)
        if (mayBeHeader(bytes + p, n - p))
            return p;
    return -1;
}

bool searchBack(const uint8_t* bytes, int64_t n, int64_t at, int64_t from, int64_t step, const Find& f, Stored* s,
                int64_t* start, TiffHeaders* tiffs, HeaderWork* work)
{
    int64_t p = std::min(from, n) - 1;
    p -= (at + p) % step;
    const int64_t first = p;
    for (; p >= 0; p -= step) {
        if (step == 1)
            p = lastMayBeHeader(bytes, n, p);
        if (p < 0)
            break;
        const uint8_t* h = bytes + p;
        if (!mayBeHeader(h, n - p))
            continue;
        if (tiffSignature(h, n - p)) {
            if (tiffs->count < 4)
                tiffs->list[tiffs->count++] = {at + p, h[0] == 'M', tiff32(h + 4, h[0] == 'M')};
            continue;
        }
        if (!headerAt(h, n - p, false, s, work))
            continue;
        if (holds(*s, at + p + s->pixels, f)) {
            spend(work, (first - p) / step + 1);
            *start = at + p + s->pixels;
            return true;
        }
    }
    spend(work, (first - p) / step);
    return false;
}

// Differences of the bytes [lo, hi) to the row `dir` rows away (near) and to the bytes half a
// row aside (far). bytes stand at file offset at and hold that row too.
void rowDifferences(const uint8_t* bytes, int64_t at, int64_t lo, int64_t hi, const Stored& s, int64_t dir,
                    int64_t* near, int64_t* far, HeaderWork* work)
{
    const int64_t pixel = std::max(1, kNibblesPerPixel[s.layout] / 2);
    const int64_t down = dir * s.stride, aside = dir * pixel * std::max<int64_t>(1, s.stride / (2 * pixel));
    const uint8_t* p = bytes + (lo - at);
    const int64_t n = hi - lo;
    spend(work, 2 * n);
    int64_t sumNear = 0, sumFar = 0;
    if (s.layout == kGrey4) {
        // 4-bit pixels are compared as such: a byte's difference is mostly its high nibble's.
        auto differ = [](int a, int b) { return std::abs((a >> 4) - (b >> 4)) + std::abs((a & 15) - (b & 15)); };
        for (int64_t i = 0; i < n; ++i) {
            sumNear += differ(p[i], p[i + down]);
            sumFar += differ(p[i], p[i + aside]);
        }
    } else {
        // Plain byte loops, which the compiler turns into vector code.
        for (int64_t i = 0; i < n; ++i) {
            sumNear += std::min(std::abs(p[i] - p[i + down]), 15);
            sumFar += std::min(std::abs(p[i] - p[i + aside]), 15);
        }
    }
    *near = sumNear;
    *far = sumFar;
}

// The bytes [lo, hi) and the row beyond them on the side `dir`, or null.
const uint8_t* fetchRows(int64_t lo, int64_t hi, int64_t stride, int64_t dir, const Source& src, int64_t* at)
{
    *at = dir < 0 ? lo - stride : lo;
    const int64_t wanted = *at, end = dir < 0 ? hi : hi + stride;
    const uint8_t* bytes = nullptr;
    const int64_t n = src.fetch(src.user, at, end, &bytes);
    return *at == wanted && n == end - wanted ? bytes : nullptr;
}

// Where the first stored picture's header in [lo, hi) begins, or hi.
int64_t nextStoredHeader(int64_t lo, int64_t hi, const Source& src)
{
    for (int64_t pos = lo; pos < hi; pos += kFollowBytes) {
        int64_t at = pos;
        const uint8_t* bytes = nullptr;
        const int64_t n = src.fetch(src.user, &at, std::min(hi, pos + kFollowBytes) + kHeaderBytes, &bytes);
        if (at != pos)
            return hi;
        const int64_t end = std::min({hi, pos + kFollowBytes, at + n});
        const int64_t q = nextHeader(bytes, n, at, pos, end, src.work);
        if (q < end)
            return q;
    }
    return hi;
}

// How alike the rows [lo, hi) are to the row `dir` rows away, in differences a byte, or -1 when
// they cannot be read.
double rowDifference(const Stored& s, int64_t lo, int64_t hi, int64_t dir, const Source& src)
{
    int64_t at = 0, near = 0, far = 0;
    const uint8_t* bytes = hi > lo ? fetchRows(lo, hi, s.stride, dir, src, &at) : nullptr;
    if (!bytes)
        return -1.0;
    rowDifferences(bytes, at, lo, hi, s, dir, &near, &far, src.work);
    return static_cast<double>(near) / static_cast<double>(hi - lo);
}

// How far past the row boundary `from` the picture's rows go on, toward `to` (either way), a
// file-system block at a time: in a fragmented file system a picture goes on in other blocks, and
// its header does not say so. A block goes on the picture when it is more alike a row up than
// half a row aside, or nearly plain; clearly more alike when it is far busier than the rows taken
// so far (`taken`, differences a byte; none yet when negative): another picture read at a stride
// near its own may be somewhat more alike a row up too. Going down, the rows end where the next
// stored picture's header begins.
int64_t followBlocks(const Stored& s, int64_t from, int64_t to, double taken, const Source& src)
{
    const int64_t dir = to > from ? 1 : -1;
    int64_t pos = from;
    while (pos != to) {
        const int64_t span = std::min(std::abs(to - pos), kFollowBytes);
        const int64_t lo = std::min(pos, pos + dir * span), hi = std::max(pos, pos + dir * span);
        int64_t at = 0;
        const uint8_t* bytes = fetchRows(lo, hi, s.stride, -dir, src, &at);
        if (!bytes)
            return pos;
        for (int64_t moved = 0; moved < span;) {
            // A short piece of a block is judged with the next: a few rows tell little.
            int64_t edge = dir > 0 ? (pos / kFileBlock + 1) * kFileBlock : ((pos - 1) / kFileBlock) * kFileBlock;
            if (std::abs(edge - pos) < kFileBlock / 2)
                edge += dir * kFileBlock;
            const int64_t spanEnd = pos + dir * (span - moved);
            // ... and so is a short piece left before the end.
            if (spanEnd == to && std::abs(spanEnd - edge) < kFileBlock / 2)
                edge = spanEnd;
            const int64_t next = dir > 0 ? std::min(edge, spanEnd) : std::max(edge, spanEnd);
            const int64_t b0 = std::min(pos, next), b1 = std::max(pos, next);
            if (dir > 0) {
                const int64_t header = nextHeader(bytes, hi - at, at, b0, b1, src.work);
                if (header < b1)
                    return header;
            }
            int64_t near = 0, far = 0;
            rowDifferences(bytes, at, b0, b1, s, -dir, &near, &far, src.work);
            const double n = static_cast<double>(near), rate = n / static_cast<double>(b1 - b0);
            const bool busier = taken >= 0.0 && rate > std::max(kFollowJump * taken, kPlainDifference);
            const double share = busier ? kFollowBusierShare : kFollowShare;
            if (n > share * static_cast<double>(far) && rate > kPlainDifference)
                return pos;
            taken = std::max(taken, rate);
            moved += b1 - b0;
            pos = next;
        }
    }
    return pos;
}

// A stored picture, its header's fields agreeing and its rows alike down, is surer than any
// lookalike: it ranks in the upper half, in the order its look would give it.
float storedRank(float rank)
{
    return kStoredRankFloor + (1.0f - kStoredRankFloor) * rank;
}

// The find of a stored picture's rows from `top`: the one place where a header's reading becomes
// a find.
Find storedFind(const Stored& s, int64_t top, int64_t rows, float rank)
{
    const int64_t row = rowBytes(s.layout, static_cast<int32_t>(s.width));
    return {top, (rows - 1) * s.stride + row, s.layout, static_cast<int32_t>(s.width), static_cast<int32_t>(rows),
            s.stride, rank, true, s.bottomUp, s.order};
}

// The find's own rows on the header's grid, followed out to the picture's edges; false when none
// of them is whole there.
bool takeHeader(const Stored& s, int64_t start, Find* f, const Source& src)
{
    const int64_t area = s.stride * s.height;
    int64_t top = start + std::clamp<int64_t>((f->offset - start + s.stride - 1) / s.stride, 0, s.height - 1) * s.stride;
    int64_t bottom = start + std::clamp<int64_t>((f->offset + f->bytes - start) / s.stride, 1, s.height) * s.stride;
    if (bottom <= top || bottom > f->offset + f->bytes)
        return false;
    // The find may have run on into the next stored picture.
    bottom = std::max(top, nextStoredHeader(start, bottom, src));
    if (bottom - top < s.stride)
        return false;
    // Rows are compared within the find's own.
    const double taken = rowDifference(s, top + s.stride, std::min(bottom, top + kStoredSampleBytes), -1, src);
    bottom = followBlocks(s, bottom, start + area, taken, src);
    top = followBlocks(s, top, start, taken, src);
    const int64_t rows = (bottom - top) / s.stride;
    // A find read from the header already ranks as stored.
    const float rank = f->stored ? rankAt(*f, rows, s.width) : storedRank(rankAt(*f, rows, s.width));
    *f = storedFind(s, top, rows, rank);
    return true;
}

// f's rows from top on, rows of them, ranked as such. No rows left: a height of 0, which no option
// asks for.
void keepRows(Find* f, int64_t top, int64_t rows)
{
    rows = std::max<int64_t>(0, rows);
    f->score = rankAt(*f, std::max<int64_t>(1, rows), f->width);
    f->offset = top;
    f->height = static_cast<int32_t>(rows);
    f->bytes = rows > 0 ? (rows - 1) * f->stride + rowBytes(f->layout, f->width) : 0;
}

// f's rows that end by `at`.
void keepRowsBefore(Find* f, int64_t at)
{
    const int64_t row = rowBytes(f->layout, f->width);
    if (at < f->offset + f->bytes)
        keepRows(f, f->offset, at - f->offset >= row ? (at - f->offset - row) / f->stride + 1 : 0);
}

// f's rows that lie outside the stored picture g: those before it, or when f begins inside it,
// those after it.
void keepOutside(Find* f, const Find& g)
{
    if (g.offset >= f->offset + f->bytes || g.offset + g.bytes <= f->offset)
        return;
    if (f->offset < g.offset) {
        keepRowsBefore(f, g.offset);
        return;
    }
    const int64_t skipped = (g.offset + g.bytes - f->offset + f->stride - 1) / f->stride;
    keepRows(f, f->offset + skipped * f->stride, f->height - skipped);
}

}  // namespace

namespace {

// Looks before f for the header of a stored picture that holds f, and gives f that picture's
// reading, its rows followed out to the picture's edges; false when no header holds it.
// Positions on the grid in [from, hi) of bytes [0, n) at file offset from where a header may
// begin, into the cache.
void cacheCandidates(HeaderCache* c, const uint8_t* bytes, int64_t n, int64_t from, int64_t hi)
{
    for (int64_t q = (from + kStoredAlign - 1) / kStoredAlign * kStoredAlign; q < hi && q - from < n; q += kStoredAlign) {
        const int64_t left = std::min(kHeaderBytes, n - (q - from));
        if (!mayBeHeader(bytes + (q - from), left))
            continue;
        c->at.push_back(q);
        c->lengths.push_back(static_cast<int32_t>(left));
        c->bytes.insert(c->bytes.end(), bytes + (q - from), bytes + (q - from) + left);
        c->bytes.resize(c->at.size() * kHeaderBytes);
    }
}

// The cache made to cover [lo, hi), reading only the bytes it lacks; *lo is raised to where the
// bytes begin. Each cache starts where fetch raised its first range to, so a range from there on
// starts within the bytes. False when the bytes cannot be had.
bool coverSpan(const Source& src, int64_t* lo, int64_t hi)
{
    HeaderCache* c = src.cache;
    const uint8_t* bytes = nullptr;
    if (*lo < c->lo || *lo > c->hi || c->hi == c->lo) {
        c->first = 0;
        c->at.clear();
        c->lengths.clear();
        c->bytes.clear();
        const int64_t n = src.fetch(src.user, lo, hi + kHeaderBytes, &bytes);
        c->lo = c->hi = *lo;
        if (n <= 0 || hi <= *lo)
            return false;
        cacheCandidates(c, bytes, n, *lo, hi);
        c->hi = hi;
        return true;
    }
    c->first = static_cast<size_t>(std::lower_bound(c->at.begin() + static_cast<std::ptrdiff_t>(c->first), c->at.end(), *lo) -
                                   c->at.begin());
    // Entries passed over are dropped once they are half of them.
    if (c->first > 0 && 2 * c->first >= c->at.size()) {
        const auto gone = static_cast<std::ptrdiff_t>(c->first);
        c->at.erase(c->at.begin(), c->at.begin() + gone);
        c->lengths.erase(c->lengths.begin(), c->lengths.begin() + gone);
        c->bytes.erase(c->bytes.begin(), c->bytes.begin() + gone * kHeaderBytes);
        c->first = 0;
    }
    c->lo = *lo;
    if (hi <= c->hi)
        return hi > *lo;
    int64_t from = c->hi;
    const int64_t n = src.fetch(src.user, &from, hi + kHeaderBytes, &bytes);
    if (n <= 0 || from != c->hi)
        return false;
    cacheCandidates(c, bytes, n, from, hi);
    c->hi = hi;
    return true;
}

// searchBack over [lo, hi) on the grid, from the cache: the same headers in the same order, and
// the same work counted.
bool searchBackCached(const Source& src, int64_t lo, int64_t hi, const Find& f, Stored* s, int64_t* start,
                      TiffHeaders* tiffs)
{
    if (!coverSpan(src, &lo, hi))
        return false;
    const int64_t first = (hi - 1) / kStoredAlign * kStoredAlign;
    if (first < lo)
        return false;
    const HeaderCache& c = *src.cache;
    auto k = std::lower_bound(c.at.begin(), c.at.end(), hi) - c.at.begin();
    while (k-- > static_cast<std::ptrdiff_t>(c.first) && c.at[static_cast<size_t>(k)] >= lo) {
        const int64_t q = c.at[static_cast<size_t>(k)];
        const uint8_t* h = c.bytes.data() + k * kHeaderBytes;
        const int64_t left = c.lengths[static_cast<size_t>(k)];
        if (tiffSignature(h, left)) {
            if (tiffs->count < 4)
                tiffs->list[tiffs->count++] = {q, h[0] == 'M', tiff32(h + 4, h[0] == 'M')};
            continue;
        }
        if (!headerAt(h, left, false, s, src.work))
            continue;
        if (holds(*s, q + s->pixels, f)) {
            spend(src.work, (first - q) / kStoredAlign + 1);
            *start = q + s->pixels;
            return true;
        }
    }
    spend(src.work, (first - lo) / kStoredAlign + 1);
    return false;
}

bool settleAsIs(Find* f, const Source& src)
{
    const FetchBytes fetch = src.fetch;
    void* user = src.user;
    HeaderWork* work = src.work;
    Stored s = {};
    int64_t start = -1;
    // Near first, at every byte: most finds start at or near their picture's first row. Then where
    // files begin in archives, file systems and memory: further into the find (it may have begun
    // in bytes as plain as the rows, before the header), and further back.
    // A header that holds f lies before the middle of f, as its pixels follow it.
    const int64_t into = std::min(f->bytes / 2, kHeaderReach), tail = std::min(kHeaderTail, f->bytes / 2 + 1);
    const int64_t spans[3][3] = {{f->offset - kHeaderNearReach, f->offset + tail, 1},
                                 {f->offset + kHeaderTail, f->offset + std::max(kHeaderTail, into), kStoredAlign},
                                 {f->offset - kHeaderReach, f->offset - kHeaderNearReach, kStoredAlign}};
    TiffHeaders tiffs;
    for (const auto& span : spans) {
        int64_t lo = span[0];
        if (src.cache && &span == &spans[2]) {
            if (searchBackCached(src, lo, span[1], *f, &s, &start, &tiffs))
                break;
            continue;
        }
        const uint8_t* bytes = nullptr;
        const int64_t n = span[1] > lo ? fetch(user, &lo, span[1] + kHeaderBytes, &bytes) : 0;
        if (n > 0 && span[1] > lo && searchBack(bytes, n, lo, span[1] - lo, span[2], *f, &s, &start, &tiffs, work))
            break;
    }
    for (int k = 0; start < 0 && k < tiffs.count; ++k) {
        const int64_t first = tiffs.list[k].at;
        if (tiffAt(tiffs.list[k], src, &s) && holds(s, first + s.pixels, *f))
            start = first + s.pixels;
    }
    return start >= 0 && takeHeader(s, start, f, src);
}

// Whether f's bytes are all one value: no picture, whatever its header claims (a stored picture's
// first rows alone may be, until joined with the rest).
bool oneValue(const Find& f, const Source& src)
{
    int first = -1;
    for (int64_t pos = f.offset, end = f.offset + f.bytes; pos < end;) {
        int64_t at = pos;
        const uint8_t* bytes = nullptr;
        const int64_t n = src.fetch(src.user, &at, std::min(end, pos + kFollowBytes), &bytes);
        if (at != pos || n <= 0 || (first >= 0 && bytes[0] != first) || !sameBytes(bytes, n, src.work))
            return false;
        first = bytes[0];
        pos += n;
    }
    return true;
}

// Settles f, appending what it gives to out. Pictures stored back to back read as one: a find is
// cut where a header begins within it, each piece held by its own header when one holds it (a
// piece before the first header, as of a find that began a little before its own, by any). A
// find joined with a stored picture's piece but held by no header is one of the look.
void settleOne(Find f, const Source& src, std::vector<Find>* out)
{
    for (;;) {
        const int64_t inner = nextStoredHeader(f.offset + 1, f.offset + f.bytes, src);
        if (inner >= f.offset + f.bytes)
            break;
        Find before = f;
        keepRowsBefore(&before, inner);
        if (before.height > 0) {
            before.stored = settleAsIs(&before, src);
            out->push_back(before);
        }
        const int64_t skipped = (inner - f.offset + f.stride - 1) / f.stride;
        keepRows(&f, f.offset + skipped * f.stride, f.height - skipped);
        if (f.height <= 0)
            return;
    }
    f.stored = settleAsIs(&f, src);
    out->push_back(f);
}

}  // namespace

void settleAndOrder(std::vector<Find>* finds, FetchBytes fetch, void* user, HeaderWork* work, HeaderCache* cache)
{
    const Source src = {fetch, user, work, cache};
    std::vector<Find> settled;
    for (const Find& f : *finds)
        settleOne(f, src, &settled);
    for (Find& f : settled)
        if (f.stored && oneValue(f, src))
            keepRows(&f, f.offset, 0);
    finds->swap(settled);
    std::stable_sort(finds->begin(), finds->end(), [](const Find& a, const Find& b) { return a.offset < b.offset; });
    // One find per header: a find of the look alone over stored pictures (pictures stored back
    // to back look like one) keeps what lies outside them.
    std::vector<Find> stored;
    for (const Find& f : *finds)
        if (f.stored)
            stored.push_back(f);
    if (stored.empty())
        return;
    for (Find& f : *finds) {
        if (f.stored)
            continue;
        // Stored pictures do not overlap each other: the first that ends past f's start on.
        auto g = std::partition_point(stored.begin(), stored.end(),
                                      [&](const Find& s) { return s.offset + s.bytes <= f.offset; });
        for (; g != stored.end() && f.height > 0 && g->offset < f.offset + f.bytes; ++g)
            keepOutside(&f, *g);
    }
}

bool keepInOrder(FindOrder* order, const Find& f)
{
    // Before one already listed, or mostly over those: another reading of a stored picture, or a
    // piece that reached past its own picture until settled.
    if (f.offset < order->lastOffset || 2 * (order->lastEnd - f.offset) >= f.bytes)
        return false;
    order->lastOffset = f.offset;
    order->lastEnd = std::max(order->lastEnd, f.offset + f.bytes);
    return true;
}

int64_t fetchFromBuffer(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes)
{
    const BufferBytes* b = static_cast<const BufferBytes*>(user);
    *lo = std::clamp(*lo, b->base, b->base + b->size);
    *bytes = b->data + (*lo - b->base);
    return std::clamp<int64_t>(hi, *lo, b->base + b->size) - *lo;
}

namespace {

// A header met on the way through the buffer.
struct MetHeader {
    int64_t at;      // file offset
    Stored stored;   // its reading, but for a TIFF one
    bool tiff;       // a TIFF signature, whose directory is yet to be read
};

// The stored picture whose header is met (next, the next header's offset, ends its rows): a find
// when its rows follow the header and are alike down, as far as they go within the buffer.
// Returns where the header's pixels end, or -1 when there is none.
int64_t followStored(BufferBytes* buffer, const MetHeader& met, int64_t next, std::vector<Find>* finds, HeaderWork* work)
{
    const Source src = {fetchFromBuffer, buffer, work, nullptr};
    Stored s = met.stored;
    const uint8_t* h = buffer->data + (met.at - buffer->base);
    if (met.tiff && !tiffAt({met.at, h[0] == 'M', tiff32(h + 4, h[0] == 'M')}, src, &s))
        return -1;
    // The pixels lie between the header and the next one; the first row is taken on trust, the
    // others must follow it. Rows of one value as far as they may go are no picture (zeros after
    // a TGA header's plain numbers).
    const int64_t start = met.at + s.pixels, area = s.stride * s.height;
    const int64_t to = std::min(start + area, next);
    if (to < start + kFindHeightFloor * s.stride || sameBytes(buffer->data + (start - buffer->base), to - start, work))
        return start + area;
    const int64_t end = followBlocks(s, start + s.stride, to, -1.0, src);
    const int64_t rows = (end - start) / s.stride;
    const int64_t sample = std::min(end, start + kStoredSampleBytes);
    int64_t at = 0, near = 0, far = 0;
    const uint8_t* bytes = rows >= kFindHeightFloor ? fetchRows(start + s.stride, sample, s.stride, -1, src, &at) : nullptr;
    if (!bytes)
        return start + area;
    rowDifferences(bytes, at, start + s.stride, sample, s, -1, &near, &far, work);
    const float quality = far > 0 ? 1.0f - static_cast<float>(near) / static_cast<float>(far) : 1.0f;
    const bool plain = static_cast<double>(near) <= kPlainDifference * static_cast<double>(sample - start - s.stride);
    if (plain || quality >= kStoredMinQuality)
        finds->push_back(storedFind(s, start, rows, storedRank(rankScore(quality, rows, s.width))));
    return start + area;
}

// The first header at or after p outside the blocks the sieve found to be noise, or one at the
// buffer's end: such blocks hold no header worth following, as their rows would not be alike.
MetHeader nextSearchedHeader(const BufferBytes& b, int64_t p, const std::vector<uint8_t>& kinds, HeaderWork* work)
{
    const int64_t end = b.base + b.size;
    MetHeader met = {end, {}, false};
    while (p < end) {
        const int64_t block = (p - b.base) / kBlockBytes, blockEnd = std::min(end, b.base + (block + 1) * kBlockBytes);
        if (kinds[static_cast<size_t>(block)] != kNoiseBlock) {
            met.at = nextHeader(b.data, b.size, b.base, p, blockEnd, work, &met.stored, &met.tiff);
            if (met.at < blockEnd)
                return met;
        }
        p = blockEnd;
    }
    met.at = end;
    return met;
}

}  // namespace

void findStoredPictures(const uint8_t* data, int64_t size, int64_t base, int64_t lo, int64_t hi,
                        const std::vector<uint8_t>& kinds, std::vector<Find>* finds, HeaderWork* work)
{
    // Headers are met in file order, each once; each picture's rows end where the next header
    // begins, so that no byte is followed for two headers whatever they claim.
    BufferBytes buffer = {data, size, base};
    const int64_t end = base + size, last = base + std::min(hi, size);
    MetHeader met = nextSearchedHeader(buffer, base + lo, kinds, work);
    while (met.at < last) {
        const MetHeader next = nextSearchedHeader(buffer, met.at + 1, kinds, work);
        const int64_t pixelsEnd = followStored(&buffer, met, next.at, finds, work);
        // The next file of a plain concatenation begins where a picture's pixels end: a TGA or XWD
        // header is taken there off the boundary too.
        Stored s;
        if (pixelsEnd > met.at && pixelsEnd < next.at && pixelsEnd < last &&
            headerAt(data + (pixelsEnd - base), end - pixelsEnd, true, &s, work))
            met = {pixelsEnd, s, false};
        else
            met = next;
    }
}
