// Stage 6: the header a stored picture keeps before its pixels. Pictures in real files are often
// whole BMP, PNM, TGA or TIFF files, and an X server keeps an XWD header before its frame buffer;
// the header gives the width, height and row padding exactly where the bytes alone leave them
// open (a dark edge column looks like padding; a smooth picture is nearly as alike a pixel
// aslant). A find mostly inside such pixels takes the header's reading.
#pragma once

#include <cstdint>
#include <vector>

#include "find/find.h"

// Gives the bytes from *lo (raised to where the range begins) to hi (or fewer where it ends):
// sets *bytes and returns how many, or 0 when they cannot be had.
using FetchBytes = int64_t (*)(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes);

// The work the stage did, for tests that bound it: bytes it examined (header fields read, positions
// searched for headers, row bytes compared). Each scan thread keeps its own.
struct HeaderWork {
    int64_t examined = 0;
};

// Where headers may begin on the kStoredAlign grid in [lo, hi) of the file, each with its first
// kHeaderBytes: settling finds a few hundred KiB apart searches the same MiB before them for
// headers again and again. Only for one flow of finds in file order.
struct HeaderCache {
    int64_t lo = 0;
    int64_t hi = 0;
    size_t first = 0;  // entries before it lie before lo, not yet dropped
    std::vector<int64_t> at;
    std::vector<int32_t> lengths;
    std::vector<uint8_t> bytes;  // kHeaderBytes for each position, the first lengths[k] of them read
};

// Settles each find, then puts them back in file order (a settled find may move): looks before it,
// through fetch, for the header of a stored picture whose pixels hold most of it (or its first row
// on their grid), and gives it that picture's reading, its rows followed out to the picture's
// edges. A find over pictures stored back to back becomes one find per header. A stored picture's
// bytes are its own: a find not read from a header keeps only its rows outside them; one of a
// single value is dropped (height 0). work, when given, counts what was examined.
// cache, when given, keeps what the search far back found between calls.
void settleAndOrder(std::vector<Find>* finds, FetchBytes fetch, void* user, HeaderWork* work = nullptr,
                    HeaderCache* cache = nullptr);

// The finds listed so far, for keepInOrder.
struct FindOrder {
    int64_t lastOffset = -1;
    int64_t lastEnd = -1;
};

// Whether f, the next settled find in file order, is listed: not before one listed already, nor
// mostly over them.
bool keepInOrder(FindOrder* order, const Find& f);

// The bytes of a buffer that stands at file offset base, for settleAndOrder.
struct BufferBytes {
    const uint8_t* data;
    int64_t size;
    int64_t base;
};
int64_t fetchFromBuffer(void* user, int64_t* lo, int64_t hi, const uint8_t** bytes);

// Stored pictures whose header begins in [lo, hi) of the buffer (which stands at file offset
// base): each whose rows follow the header and are alike down is appended
// as a find as far as its rows go on within the buffer and before the next header (settleAndOrder
// follows them further). Blocks the sieve found to be noise (kinds) are passed over. The work is
// bounded by a small multiple of the buffer's size, whatever the headers claim.
void findStoredPictures(const uint8_t* data, int64_t size, int64_t base, int64_t lo, int64_t hi,
                        const std::vector<uint8_t>& kinds, std::vector<Find>* finds, HeaderWork* work = nullptr);
