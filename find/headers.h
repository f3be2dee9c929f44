// Stage 6: the header a stored picture keeps before its pixels. Pictures in real files are often
// whole BMP, PNM, TGA or TIFF files, and an X server keeps an XWD header before its frame buffer;
// the header gives the width, height and row padding exactly where the bytes alone leave them
// open (a dark edge column looks like padding; a smooth picture is nearly as alike a pixel
// aslant). A find mostly inside such pixels takes the header's reading.
#pragma once

#include <cstdint>
#include <vector>

#include "find/find.h"

// Bytes before a find that are searched for its header: the find may start far into the picture.
constexpr int64_t kHeaderNearReach = 64 << 10;
constexpr int64_t kHeaderReach = 1 << 20;
// Bytes past a find's start searched too: a find may begin a few rows before its picture.
constexpr int64_t kHeaderTail = 16 << 10;
// Bytes a header is read over, at most (a PNM header's comment may run on).
constexpr int64_t kHeaderBytes = 256;
// A stored picture's rows beyond the find are followed a file-system block at a time, this many
// bytes read at once.
constexpr int64_t kFileBlock = 4096;
constexpr int64_t kFollowBytes = 512 << 10;
// A block goes on the picture when its differences one row up are at most this share of those
// half a row aside (unrelated bytes give as much as or more; grainy textures 0.85 to 0.93), or
// when they are this small a byte (of 15): a nearly plain part of the picture.
constexpr double kFollowShare = 0.95;
constexpr double kPlainDifference = 1.0;
// A block with more than this many times the differences of the rows taken before it must be
// clearly alike one row up: at most this share of half a row aside.
constexpr double kFollowJump = 4.0;
constexpr double kFollowBusierShare = 0.7;

// Gives the bytes from *lo (raised to where the range begins) to hi (or fewer where it ends):
// sets *bytes and returns how many, or 0 when they cannot be had.
using FetchBytes = int64_t (*)(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes);

// Looks before f, through fetch, for the header of a stored picture whose pixels hold most of f,
// and gives f that picture's reading, its rows followed out to the picture's edges.
void settleByHeader(Find* f, FetchBytes fetch, void* user);

// Settles each find, then puts them back in file order (a settled find may move).
void settleAndOrder(std::vector<Find>* finds, FetchBytes fetch, void* user);

// The finds listed so far, for keepInOrder.
struct FindOrder {
    int64_t lastOffset = -1;
    int64_t lastEnd = -1;
};

// Whether f, the next settled find in file order, is listed: not before one listed already, nor
// mostly over them.
bool keepInOrder(FindOrder* order, const Find& f);

// The bytes of a buffer that stands at file offset base, for settleByHeader.
struct BufferBytes {
    const uint8_t* data;
    int64_t size;
    int64_t base;
};
int64_t fetchFromBuffer(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes);

// Headers begin on this boundary in archives, file systems and memory. TGA and XWD headers, which
// have no signature, are looked for there only; BMP, PNM and TIFF ones at every byte.
constexpr int64_t kStoredAlign = 16;
// Rows of a picture found by its header are judged over this many bytes at most; they must be this
// much more alike one row up than half a row aside (1 - near / far), unless plain.
constexpr int64_t kStoredSampleBytes = 64 << 10;
constexpr float kStoredMinQuality = 0.05f;
// Stored pictures rank from here up.
constexpr float kStoredRankFloor = 0.5f;

// Stored pictures whose header begins in [lo, hi) of the buffer (which stands at file offset
// base): each whose rows follow the header, and are alike down, is appended as a find as far as
// its rows go on within the buffer (settleByHeader follows them further). Blocks the sieve found
// to be noise (kinds) are passed over.
void findStoredPictures(const uint8_t* data, int64_t size, int64_t base, int64_t lo, int64_t hi,
                        const std::vector<uint8_t>& kinds, std::vector<Find>* finds);

// The most bytes settleByHeader asks fetch for at once.
constexpr int64_t kFetchBytes = kHeaderReach + kHeaderTail + kHeaderBytes;
static_assert(kFollowBytes + 2 * (int64_t{kFindWidthCeiling} * 4 + 4) + kHeaderBytes <= kFetchBytes,
              "a span of rows followed, with a row either side, fits what is fetched at once");
