// The header stage against files that hold stored pictures back to back, and against crafted
// headers: one find per header, and work bounded by the bytes, whatever the headers claim.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "find/find.h"
#include "find/headers.h"
#include "find/prune.h"
#include "find/sieve.h"
#include "tests/support/crafted_headers.h"
#include "tests/support/find_samples.h"
#include "tests/support/test_support.h"

namespace {

// The header stage over one buffer as the scan runs it on a chunk: stored pictures found in it,
// joined with nothing else, settled. Returns the bytes it examined.
int64_t headerWork(const Bytes& data, std::vector<Find>* finds)
{
    std::vector<uint8_t> kinds;
    const int64_t size = static_cast<int64_t>(data.size());
    sieveBlocks(data.data(), size, &kinds);
    HeaderWork work;
    findStoredPictures(data.data(), size, 0, 0, size, kinds, finds, &work);
    mergeFinds(finds);
    BufferBytes buffer = {data.data(), size, 0};
    settleAndOrder(finds, fetchFromBuffer, &buffer, &work);
    return work.examined;
}

// Headers that claim far more rows than the file has, off the boundary, comments without end,
// tiny pictures one after another: the stage looks at each byte a bounded number of times, as
// for real stored pictures (a PNM header is read over 256 bytes at most: 86 a byte where one
// begins every 3), however many headers a MiB holds.
TEST(FindStoredWork, CraftedHeadersCostBoundedWorkPerByte)
{
    constexpr int64_t kBytes = 1 << 20;
    constexpr int64_t kMostPerByte = 16, kMostPerCommentByte = 100;
    for (int k = 0; k < kCraftedKinds; ++k) {
        const CraftedKind kind = static_cast<CraftedKind>(k);
        std::vector<Find> finds;
        const int64_t examined = headerWork(craftedHeaders(kind, kBytes, false), &finds);
        const int64_t most = kind == kCraftedComment ? kMostPerCommentByte : kMostPerByte;
        EXPECT_GT(examined, 0) << craftedName(kind);
        EXPECT_LE(examined, most * kBytes) << craftedName(kind) << ": " << examined / kBytes << " a byte";
        std::vector<Find> plain;
        EXPECT_LE(headerWork(craftedHeaders(kind, kBytes, true), &plain), 4 * kBytes) << craftedName(kind);
    }
    Bytes real;
    for (const char* file : {"photo_101x_bmp24.bmp", "photo_97x_bmp8.bmp", "slate_101x101.pgm"})
        for (int copy = 0; copy < 8; ++copy)
            append(&real, readSample(file));
    std::vector<Find> finds;
    const int64_t examined = headerWork(real, &finds);
    EXPECT_EQ(finds.size(), 24u);
    EXPECT_LE(examined, 16 * static_cast<int64_t>(real.size()));
}

// Finds deep in stored pictures, each more than the near reach past its header, settled one at a
// time as the scan's flow takes them (and one again from the start): headers remembered from the
// search far back give what searching the bytes again gives, for the same work counted.
TEST(FindStoredWork, HeadersFarBackAreRememberedAlike)
{
    const Sample& s = kSamples[3];
    Bytes data = randomTestBytes(200000, 7);
    std::vector<Find> finds;
    for (int k = 0; k < 5; ++k) {
        // Far back, headers are looked for where files begin.
        data.resize((data.size() + 15) / 16 * 16);
        append(&data, bmpHeader(s, 32));
        const int64_t at = append(&data, samplePixels(s));
        const int64_t row = 110 - 3 * k;
        finds.push_back({at + row * s.stride, 5 * s.stride, s.layout, s.width, 6, s.stride, 0.5f});
        append(&data, randomTestBytes(static_cast<size_t>(100000 + 70000 * k), 8 + k));
    }
    finds.push_back(finds[0]);
    BufferBytes buffer = {data.data(), static_cast<int64_t>(data.size()), 0};
    HeaderWork plainWork, cachedWork;
    HeaderCache cache;
    for (const Find& f : finds) {
        std::vector<Find> plain = {f}, cached = {f};
        settleAndOrder(&plain, fetchFromBuffer, &buffer, &plainWork);
        settleAndOrder(&cached, fetchFromBuffer, &buffer, &cachedWork, &cache);
        ASSERT_EQ(plain.size(), 1u);
        ASSERT_EQ(cached.size(), 1u);
        EXPECT_TRUE(plain[0].stored) << f.offset;
        EXPECT_EQ(cached[0].stored, plain[0].stored) << f.offset;
        EXPECT_EQ(cached[0].offset, plain[0].offset) << f.offset;
        EXPECT_EQ(cached[0].height, plain[0].height) << f.offset;
    }
    EXPECT_EQ(cachedWork.examined, plainWork.examined);
}

// Noise to a 16-byte boundary, the files one after another (each from a 1 KiB boundary when
// `blocks`, as a file system with 1 KiB blocks keeps them, zeros after each), noise: one find per
// file, each as its header says, none over another.
void expectEachFile(const std::vector<Bytes>& files, const std::vector<Sample>& samples, bool blocks, const char* what)
{
    Bytes data = randomTestBytes(30016, 41);
    std::vector<int64_t> starts;
    for (const Bytes& file : files) {
        if (blocks)
            data.resize((data.size() + 1023) / 1024 * 1024);
        starts.push_back(append(&data, file));
    }
    append(&data, randomTestBytes(40000, 42));
    const std::vector<Find> finds = findAll(data);
    ASSERT_EQ(finds.size(), files.size()) << what;
    for (size_t k = 0; k < files.size(); ++k) {
        const Sample& s = samples[k];
        EXPECT_EQ(finds[k].offset, starts[k] + s.offset) << what << " " << k;
        EXPECT_EQ(finds[k].width, s.width) << what << " " << k;
        EXPECT_EQ(finds[k].height, s.height) << what << " " << k;
        EXPECT_EQ(finds[k].stride, s.stride) << what << " " << k;
        EXPECT_TRUE(finds[k].stored) << what << " " << k;
        if (k > 0) {
            EXPECT_GE(finds[k].offset, finds[k - 1].offset + finds[k - 1].bytes) << what << " " << k;
        }
    }
}

// A sample's pixels as a whole stored file of the kind ("tga" or "tiff"), its Sample reading.
Bytes storedFile(const Sample& s, const char* kind, Sample* stored)
{
    const bool tga = std::string(kind) == "tga";
    Bytes file = tga ? tgaHeader(s) : tiffHeader(s);
    *stored = s;
    stored->offset = static_cast<int64_t>(file.size());
    append(&file, samplePixels(s));
    if (!tga)
        append(&file, tiffDirectory(s));
    return file;
}

// Pictures stored back to back, as `cat` or an archive without padding leaves them, and in a file
// system's consecutive blocks: each is listed on its own, the later headers not read as rows, and
// none is lost under a find of the one before (24-bit BMPs, BMPs of other widths after one, ten
// PGMs, TGAs and TIFFs whose second header lies off the 16-byte boundary).
TEST(FindStored, PicturesBackToBackAreOneFindEach)
{
    const Bytes bmp24 = readSample(kSamples[0].file), bmp8 = readSample(kSamples[1].file);
    const Bytes slate = readSample("slate_101x101.pgm");
    const Sample slateReading = {"slate_101x101.pgm", 15, kGrey8, 101, 101, 101};
    expectEachFile({bmp24, bmp24, bmp24}, {kSamples[0], kSamples[0], kSamples[0]}, false, "three BMPs");
    // The photo cut to 100 pixels a row: strides 4 bytes apart, as alike as one picture's pieces.
    Sample narrow = kSamples[0];
    narrow.width = 100;
    narrow.stride = 300;
    Bytes bmp100 = bmpHeader(narrow, 24);
    const Bytes photo = samplePixels(kSamples[0]);
    for (int64_t y = 0; y < narrow.height; ++y)
        bmp100.insert(bmp100.end(), photo.begin() + y * kSamples[0].stride, photo.begin() + y * kSamples[0].stride + 300);
    expectEachFile({bmp24, bmp100, bmp8}, {kSamples[0], narrow, kSamples[1]}, false, "BMPs of other widths");
    expectEachFile({bmp24, bmp24, bmp8, bmp24}, {kSamples[0], kSamples[0], kSamples[1], kSamples[0]}, true,
                   "BMPs in consecutive blocks");
    expectEachFile(std::vector<Bytes>(10, slate), std::vector<Sample>(10, slateReading), false, "ten PGMs");
    Sample tga, tiff;
    const Bytes tgaFile = storedFile(kSamples[3], "tga", &tga), tiffFile = storedFile(kGrainySample, "tiff", &tiff);
    expectEachFile({tgaFile, tgaFile}, {tga, tga}, false, "two TGAs");
    expectEachFile({tiffFile, tiffFile}, {tiff, tiff}, false, "two TIFFs");
}

// Rows of one value are no picture, whatever a header claims for them (a TGA's sizes are plain
// numbers, found in zeros); a picture whose first stored rows are plain white is still found
// whole.
TEST(FindStored, RowsOfOneValueAreNoPicture)
{
    Bytes zeros = craftedHeaders(kCraftedTga, 2 << 20, false);
    EXPECT_TRUE(findAll(zeros).empty());
    zeros[13] = 64;  // 16384 wide
    FindOptions wide = defaultFindOptions();
    wide.maxWidth = kFindWidthCeiling;
    EXPECT_TRUE(findAll(zeros, wide).empty());

    const Sample& s = kSamples[0];
    Bytes white = readSample(s.file);
    std::fill(white.begin() + s.offset, white.begin() + s.offset + 24 * s.stride, 0xFF);
    expectEachFile({white}, {s}, false, "white rows first");
}

// A stored picture's pixels that end a few bytes before the buffer's end: what follows them is
// too short for any header, and is not read past (AddressSanitizer tells), for every length.
TEST(FindStored, PixelsEndingJustBeforeTheBufferEnd)
{
    const Bytes slate = readSample("slate_101x101.pgm");
    for (size_t tail = 1; tail < 18; ++tail) {
        Bytes data = slate;
        data.resize(slate.size() + tail, 0);
        data.shrink_to_fit();
        std::vector<Find> finds;
        headerWork(data, &finds);
        ASSERT_EQ(finds.size(), 1u) << tail;
        EXPECT_EQ(finds[0].offset, 15) << tail;
    }
}

}  // namespace
