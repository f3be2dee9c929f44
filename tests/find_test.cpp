// The finder on small real files among real and random bytes: each stage where it can be wrong
// on its own, the whole search, and the file scan.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "common/raw_file.h"
#include "find/find.h"
#include "find/find_kernels.h"
#include "find/headers.h"
#include "find/layout_pick.h"
#include "find/prune.h"
#include "find/sieve.h"
#include "find/stride_search.h"
#include "find/tuning.h"
#include "tests/support/find_path.h"
#include "tests/support/find_samples.h"
#include "tests/support/test_support.h"

namespace {

Bytes noise(size_t size, uint32_t seed)
{
    return randomTestBytes(size, seed);
}

// The sample's pixels with a stretch of noise after them, for partners one row on.
Bytes pixelsThenNoise(const Sample& s)
{
    Bytes data = samplePixels(s);
    append(&data, noise(64 << 10, 3));
    return data;
}

// The 24-bit photo with each pixel's channels set to their mean: grey kept in three bytes.
Bytes greyInThreeBytes()
{
    Bytes data = samplePixels(kSamples[0]);
    for (int64_t y = 0; y < kSamples[0].height; ++y)
        for (int64_t x = 0; x < kSamples[0].width; ++x) {
            uint8_t* p = data.data() + y * kSamples[0].stride + 3 * x;
            const uint8_t mean = static_cast<uint8_t>((p[0] + p[1] + p[2]) / 3);
            p[0] = p[1] = p[2] = mean;
        }
    return data;
}

TEST(FindSieve, PicturesAreSearchedNoiseIsNotZerosAreFlat)
{
    std::vector<uint8_t> kinds;
    for (const Sample& s : kSamples) {
        const Bytes pixels = samplePixels(s);
        sieveBlocks(pixels.data(), static_cast<int64_t>(pixels.size()), &kinds);
        for (size_t b = 0; b + 1 < kinds.size(); ++b)
            EXPECT_NE(kinds[b], kNoiseBlock) << s.file << " block " << b;
    }
    const Bytes random = noise(64 << 10, 1);
    sieveBlocks(random.data(), static_cast<int64_t>(random.size()), &kinds);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), kNoiseBlock), static_cast<long>(kinds.size()));
    const Bytes zeros(16 << 10, 0);
    sieveBlocks(zeros.data(), static_cast<int64_t>(zeros.size()), &kinds);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), kFlatBlock), static_cast<long>(kinds.size()));
}

// Padded BMP rows, screens of 16 and 32-bit pixels: the stride found, then settled exactly.
TEST(FindStride, PaddedRowsAndScreens)
{
    for (const Sample& s : kSamples) {
        const Bytes data = pixelsThenNoise(s);
        StrideScratch scratch;
        StrideCandidate c;
        const int64_t size = static_cast<int64_t>(data.size());
        ASSERT_TRUE(searchStride(data.data(), size, 0, s.stride * s.height / 2, 8, 16 << 10, &scratch, &c))
            << s.file;
        EXPECT_NEAR(static_cast<double>(c.stride), static_cast<double>(s.stride), 4.0) << s.file;
        EXPECT_LT(c.down, kMaxDownShare * c.base) << s.file;
        int64_t exact = refineStride(data.data(), size, s.stride, c.stride, 64, 8);
        const int64_t pixel = std::max(1, kNibblesPerPixel[s.layout] / 2);
        exact = seamStride(data.data(), size, s.stride, c.stride - 4, c.stride + 4, exact, pixel, 8, 32);
        EXPECT_EQ(exact, s.stride) << s.file;
    }
}

void expectLayout(const Bytes& data, int64_t stride, int32_t layout, int32_t width, const char* what)
{
    Reading r;
    ASSERT_TRUE(pickLayout(data.data(), static_cast<int64_t>(data.size()), 3 * stride, stride, 64, &r)) << what;
    EXPECT_EQ(r.layout, layout) << what;
    EXPECT_EQ(r.width, width) << what;
}

// Each layout from real pixels, including grey kept in three bytes (not 8-bit three times as
// wide), 4-bit pixels two a byte and 15-bit pixels, made from the real ones.
TEST(FindLayout, RealPixelsInEveryLayout)
{
    for (const Sample& s : kSamples)
        expectLayout(samplePixels(s), s.stride, s.layout, s.width, s.file);
    expectLayout(greyInThreeBytes(), 304, kColour24, 101, "grey in 24 bits");
    // Nearly one grey: every lag is alike to within a few hundredths, none a pixel's dip.
    expectLayout(readSample("flat_grey_256x32.raw"), 256, kGrey8, 256, "flat grey");
    // Fine detail of a 565 screen: pixels two apart nearly as alike as neighbours, as 32-bit
    // pixels would be.
    expectLayout(readSample("screen565_160x32.raw"), 320, kColour565, 160, "detailed 565 screen");

    const Bytes grey = greyInThreeBytes();
    Bytes nibbles;
    for (int64_t y = 0; y < 63; ++y)
        for (int64_t x = 0; x + 1 < 101; x += 2) {
            const uint8_t* p = grey.data() + y * 304 + 3 * x;
            nibbles.push_back(static_cast<uint8_t>(p[0] >> 4 | (p[3] & 0xF0)));
        }
    expectLayout(nibbles, 50, kGrey4, 100, "4-bit grey");

    // The 565 screen repacked as 15-bit, and kept in 565 with its red halved, so that the top
    // bit is clear in 565 too.
    Bytes fifteen = samplePixels(kSamples[2]), darkRed = fifteen;
    for (size_t i = 0; i + 1 < fifteen.size(); i += 2) {
        const int word = fifteen[i] | fifteen[i + 1] << 8;
        const int red = word >> 11, green = word >> 6 & 31, blue = word & 31;
        const int packed = red << 10 | green << 5 | blue;
        fifteen[i] = static_cast<uint8_t>(packed);
        fifteen[i + 1] = static_cast<uint8_t>(packed >> 8);
        const int dark = (red >> 1) << 11 | (word & 0x7FF);
        darkRed[i] = static_cast<uint8_t>(dark);
        darkRed[i + 1] = static_cast<uint8_t>(dark >> 8);
    }
    expectLayout(fifteen, 480, kColour15, 240, "15-bit colour");
    expectLayout(darkRed, 480, kColour565, 240, "565 without bright red");
}

// Wherever a picture lies among noise, it is found whole enough, in its layout and width.
TEST(FindSamples, EachFoundWhereverItLies)
{
    for (const Sample& s : kSamples)
        for (size_t lead : {size_t{0}, size_t{4093}, size_t{40001}}) {
            Bytes data = noise(lead, 7);
            const int64_t at = append(&data, samplePixels(s));
            append(&data, noise(20000, 8));
            const std::vector<Find> finds = findAll(data, [] {
                FindOptions o = defaultFindOptions();
                o.minBytes = 1000;
                return o;
            }());
            ASSERT_EQ(finds.size(), 1u) << s.file << " after " << lead;
            EXPECT_GE(coverage(finds[0], s, at), 0.5) << s.file << " after " << lead << ": found layout "
                                                      << finds[0].layout << " width " << finds[0].width << " stride "
                                                      << finds[0].stride << " at " << finds[0].offset;
            EXPECT_GE(finds[0].score, 0.0f);
            EXPECT_LE(finds[0].score, 1.0f);
        }
}

// A grainy texture stands out only against the spread of the other lags; it is found among noise
// and between slices of a library, whose tables are no more alike than it.
TEST(FindSamples, GrainyTextureAmongNoiseAndTables)
{
    const Sample& s = kGrainySample;
    const Bytes texture = pixelsThenNoise(s);
    StrideScratch scratch;
    StrideCandidate c;
    ASSERT_TRUE(searchStride(texture.data(), static_cast<int64_t>(texture.size()), 0, s.stride * s.height, 8, 16 << 10,
                             &scratch, &c));
    EXPECT_NEAR(static_cast<double>(c.stride), static_cast<double>(s.stride), 4.0);
    EXPECT_GT(c.down, kMaxDownShare * c.base) << "not grainy: the test no longer tests the grainy path";

    const Bytes library = readSample(kLibrarySlice);
    for (const Bytes& before : {noise(4093, 7), library}) {
        Bytes data = before;
        const int64_t at = append(&data, samplePixels(s));
        append(&data, before.size() > 8192 ? library : noise(20000, 8));
        FindOptions o = defaultFindOptions();
        o.minBytes = 1000;
        const std::vector<Find> finds = findAll(data, o);
        ASSERT_EQ(finds.size(), 1u) << "after " << before.size() << " bytes";
        EXPECT_GE(coverage(finds[0], s, at), 0.5) << "found layout " << finds[0].layout << " stride " << finds[0].stride;
    }
}

// Slices of large libraries where earlier methods saw pictures: records, code and a table of
// character codes counting up.
TEST(FindSamples, RealLibraryHoldsNoPicture)
{
    FindOptions o = defaultFindOptions();
    o.minBytes = 256;
    o.minHeight = kFindHeightFloor;
    for (const char* slice : {kLibrarySlice, kCodeTableSlice})
        EXPECT_TRUE(findAll(readSample(slice), o).empty()) << slice;
}

// The score the judge gives rows of stride bytes from the start of data, read as pickLayout reads
// them, against base for unrelated bytes; -1 when it finds no layout.
float judged(const Bytes& data, int64_t stride, int64_t rows, float base, int32_t* layout)
{
    Reading reading;
    if (!pickLayout(data.data(), static_cast<int64_t>(data.size()), 0, stride, 64, &reading))
        return -1.0f;
    *layout = reading.layout;
    return judgeRegion(data.data(), static_cast<int64_t>(data.size()), reading, {0, rows, 0.0f}, base, kMaxDownShare);
}

// A jump table of 32-bit offsets reads as 32-bit pixels of 130 whose two high bytes hardly vary;
// an X server's 32-bit screen leaves only its fourth byte so.
TEST(FindJudge, TableOfNumbersIsNoThirtyTwoBitPicture)
{
    int32_t layout = -1;
    EXPECT_EQ(judged(readSample(kJumpTableSlice), 520, 32, 8.0f, &layout), 0.0f);
    EXPECT_EQ(layout, kColour32);
    const Sample& screen = kSamples[3];
    EXPECT_GT(judged(samplePixels(screen), screen.stride, screen.height - 1, 8.0f, &layout), 0.0f);
    EXPECT_EQ(layout, kColour32);
}

// Escaped code points on one long line of a Python module: printable, without a space or a line
// end, in rows of 52 as smooth as a grainy picture's.
TEST(FindJudge, TextWithoutSpacesIsNoPicture)
{
    int32_t layout = -1;
    EXPECT_EQ(judged(readSample("escaped_text_slice.bin"), 52, 80, 12.0f, &layout), 0.0f);
    EXPECT_EQ(layout, kGrey8);
}

// A photo at the right of wide rows whose left part is a plain grey, as on a wallpaper: the
// background's columns hold one value in every row, like fields of records, yet it is one picture.
TEST(FindJudge, PlainBackgroundBesideAPhoto)
{
    const Sample& s = kSamples[0];
    const Bytes photo = samplePixels(s);
    const int64_t plain = 300, width = plain + s.width, stride = 3 * width;
    Bytes data = noise(8192, 21);
    const int64_t at = static_cast<int64_t>(data.size());
    for (int64_t y = 0; y < s.height; ++y) {
        data.insert(data.end(), static_cast<size_t>(3 * plain), 0xDC);
        const auto row = photo.begin() + y * s.stride;
        data.insert(data.end(), row, row + 3 * s.width);
    }
    append(&data, noise(8192, 22));
    const std::vector<Find> finds = findAll(data);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_EQ(finds[0].layout, kColour24);
    EXPECT_EQ(finds[0].width, width);
    EXPECT_EQ(finds[0].stride, stride);
    EXPECT_GE(finds[0].bytes, stride * (s.height - 2));
    EXPECT_LE(std::abs(finds[0].offset - at), stride);
}

// A picture between two slices of a library: the find stops at the picture's edges, give or take
// a row, rather than growing into the tables.
TEST(FindExtent, PictureBesideRecordsEndsAtItsEdge)
{
    const Sample& s = kSamples[0];
    Bytes data = readSample(kLibrarySlice);
    const int64_t at = append(&data, samplePixels(s));
    append(&data, readSample(kLibrarySlice));
    const std::vector<Find> finds = findAll(data);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_GE(coverage(finds[0], s, at), 0.9);
    EXPECT_GE(finds[0].offset, at - s.stride);
    EXPECT_LE(finds[0].offset + finds[0].bytes, at + s.stride * (s.height + 1));
}

// A 1366 x 768 screen at 16 bits whose right column is black, as a BMP's padding would be: a
// display's size, so the rows are taken whole. The same rows over fewer lines stay padded.
TEST(FindSamples, ScreenWithABlackEdgeIsWhole)
{
    const Sample& s = kSamples[2];
    ASSERT_EQ(s.layout, kColour565);
    const Bytes crop = samplePixels(s);
    const int64_t width = 1366, stride = 2 * width;
    for (const int64_t rows : {int64_t{768}, int64_t{500}}) {
        Bytes data = noise(8192, 31);
        const int64_t at = static_cast<int64_t>(data.size());
        for (int64_t y = 0; y < rows; ++y)
            for (int64_t x = 0; x < width; ++x) {
                // Tiles of the crop, each a few rows on from the last, so that no lag along a row
                // repeats it.
                const int64_t tile = x / s.width, row = (y + 37 * tile) % s.height;
                const bool edge = x == width - 1;
                for (int64_t b = 0; b < 2; ++b)
                    data.push_back(edge ? 0 : crop[static_cast<size_t>(row * s.stride + 2 * (x % s.width) + b)]);
            }
        append(&data, noise(8192, 32));
        const Sample screen = {"screen", at, kColour565, static_cast<int32_t>(rows == 768 ? width : width - 1),
                               static_cast<int32_t>(rows), stride};
        double covered = 0.0;
        for (const Find& f : findAll(data))
            covered = std::max(covered, coverage(f, screen, at));
        EXPECT_GE(covered, 0.5) << rows << " rows";
    }
}

// Narrowing the widths or layouts never loses a picture that lies within them, nor reports it
// at a multiple of its width; outside them nothing is reported over it.
TEST(FindSamples, NarrowedOptionsKeepThePictureAndItsWidth)
{
    Bytes data = noise(5000, 9);
    const int64_t photo = append(&data, samplePixels(kSamples[0]));
    append(&data, noise(30000, 10));
    const int64_t screen = append(&data, samplePixels(kSamples[2]));
    append(&data, noise(30000, 11));
    FindOptions o = defaultFindOptions();
    o.minBytes = 1000;
    const std::vector<Find> whole = findAll(data, o);
    ASSERT_EQ(whole.size(), 2u);
    ASSERT_GE(coverage(whole[0], kSamples[0], photo), 0.5);
    ASSERT_GE(coverage(whole[1], kSamples[2], screen), 0.5);

    auto narrowed = [&](int32_t lo, int32_t hi, uint32_t layouts) {
        FindOptions n = o;
        n.minWidth = lo;
        n.maxWidth = hi;
        n.layouts = layouts;
        return findAll(data, n);
    };
    for (auto [lo, hi] : {std::pair{101, 101}, std::pair{60, 200}, std::pair{2, 16384}}) {
        const std::vector<Find> photoOnly = narrowed(lo, hi, 1u << kColour24);
        ASSERT_EQ(photoOnly.size(), 1u) << lo << "-" << hi;
        EXPECT_EQ(photoOnly[0].offset, whole[0].offset);
        EXPECT_EQ(photoOnly[0].width, 101);
    }
    const std::vector<Find> wider = narrowed(102, 4096, kAllLayouts);
    ASSERT_EQ(wider.size(), 1u);
    EXPECT_EQ(wider[0].offset, whole[1].offset);
    EXPECT_EQ(wider[0].width, 240);
    EXPECT_TRUE(narrowed(8, 4096, 1u << kGrey8).empty());
}

TEST(FindMerge, PiecesOfOnePictureJoinAndOverlapsKeepTheSurerOrTheStored)
{
    // Two pieces of one 24-bit picture on one grid of rows, two rows apart: the whole ranks as a
    // picture of its rows at the better piece's quality.
    std::vector<Find> finds = {{10000 + 20 * 304, 10 * 304 - 1, kColour24, 101, 10, 304, rankScore(0.5f, 10, 101)},
                               {10000, 18 * 304 - 1, kColour24, 101, 18, 304, rankScore(0.7f, 18, 101)}};
    mergeFinds(&finds);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_EQ(finds[0].offset, 10000);
    EXPECT_EQ(finds[0].height, 30);
    EXPECT_EQ(finds[0].bytes, 29 * 304 + 303);
    EXPECT_FLOAT_EQ(finds[0].score, rankScore(0.7f, 30, 101));

    // A piece read from a header lends the whole its header's row order and channel order.
    finds = {{10000, 18 * 304 - 1, kColour24, 101, 18, 304, 0.7f},
             {10000 + 20 * 304, 10 * 304 - 1, kColour24, 101, 10, 304, 0.6f, true, true, kBlueFirst}};
    mergeFinds(&finds);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_TRUE(finds[0].stored && finds[0].bottomUp);
    EXPECT_EQ(finds[0].order, kBlueFirst);

    // The same bytes read two ways: the surer reading stays; a neighbour off the grid further on
    // than the find is long stays apart.
    finds = {{5000, 9000, kGrey8, 300, 30, 300, 0.4f},
             {5000, 9090, kColour24, 101, 30, 304, 0.6f},
             {5000 + 70 * 304 + 7, 3000, kColour24, 101, 10, 304, 0.5f}};
    mergeFinds(&finds);
    ASSERT_EQ(finds.size(), 2u);
    EXPECT_EQ(finds[0].layout, kColour24);
    EXPECT_EQ(finds[1].offset, 5000 + 70 * 304 + 7);

    // Sprite frames back to back, each found only over its smoother rows, a frame's header off
    // the grid between them: one run, in whole rows of the first frame's grid up to the last
    // frame's end (12732).
    finds = {{1000, 29 * 101, kGrey8, 101, 29, 101, 0.5f},
             {1000 + 4452, 29 * 101, kGrey8, 101, 29, 101, 0.5f},
             {1000 + 2 * 4452, 28 * 101, kGrey8, 101, 28, 101, 0.5f}};
    mergeFinds(&finds);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_EQ(finds[0].offset, 1000);
    EXPECT_EQ(finds[0].height, 116);

    // A picture read from its header stays beside a surer reading that reaches well past it, and
    // outlasts one that lies mostly inside it.
    finds = {{5000, 90000, kColour24, 256, 117, 768, 0.6f},
             {5000, 12288, kGrey8, 128, 96, 128, 0.3f, true},
             {40000, 9000, kGrey8, 300, 30, 300, 0.5f},
             {40000, 12000, kColour32, 100, 30, 400, 0.2f, true}};
    mergeFinds(&finds);
    ASSERT_EQ(finds.size(), 3u);
    EXPECT_TRUE(finds[1].stored);
    EXPECT_EQ(finds[2].layout, kColour32);
}

bool writeFile(const std::string& path, const Bytes& data, int64_t at = 0)
{
    int fd = createForWrite(path.c_str());
    if (fd == kNoFile)
        return false;
    bool ok = seekTo(fd, at) && writeFully(fd, data.data(), data.size());
    return closeFile(fd) && ok;
}

// Noise, a stored picture (header then pixels), noise: the one find is the header's picture.
void expectHeadersReading(const Bytes& header, const Bytes& pixels, const Sample& s, const char* what,
                          const Bytes& trailer = {})
{
    Bytes data = noise(30011, 21);
    append(&data, header);
    const int64_t at = append(&data, pixels);
    append(&data, trailer);
    append(&data, noise(40000, 22));
    FindOptions o = defaultFindOptions();
    o.minBytes = 1000;
    const std::vector<Find> finds = findAll(data, o);
    ASSERT_EQ(finds.size(), 1u) << what;
    const Find& f = finds[0];
    EXPECT_EQ(f.offset, at) << what;
    EXPECT_EQ(f.layout, s.layout) << what;
    EXPECT_EQ(f.width, s.width) << what;
    EXPECT_EQ(f.height, s.height) << what;
    EXPECT_EQ(f.stride, s.stride) << what;
    EXPECT_GE(f.score, kStoredRankFloor) << what;
}

// A picture stored with its header is reported with the header's width, rows and padding, which
// the bytes alone leave open by a pixel or a few rows: BMP, PPM with a comment, TGA, TIFF, and
// the header an X server keeps before its frame buffer.
TEST(FindHeader, StoredPicturesTakeTheirHeadersReading)
{
    for (const Sample& s : {kSamples[0], kSamples[1]}) {
        const Bytes file = readSample(s.file);
        expectHeadersReading(Bytes(file.begin(), file.begin() + s.offset), samplePixels(s), s, s.file);
    }
    const std::string ppm = "P6\n# a stone texture\n100 100\n255\n";
    expectHeadersReading(Bytes(ppm.begin(), ppm.end()), samplePixels(kGrainySample), kGrainySample, "PPM");
    const Sample& screen = kSamples[3];
    expectHeadersReading(tgaHeader(screen), samplePixels(screen), screen, "TGA");
    // A TIFF as ImageMagick writes it: its directory after the pixels, an array of bits a sample.
    const Sample& rgb = kGrainySample;
    const Bytes tiff = tiffHeader(rgb), entries = tiffDirectory(rgb);
    expectHeadersReading(tiff, samplePixels(rgb), rgb, "TIFF", entries);
    // An X server's dump header before its frame buffer, big-endian, with a colour map after it.
    for (const Sample& fb : {kSamples[2], kSamples[3]}) {
        const bool deep = fb.layout == kColour32;
        const uint32_t colours = deep ? 256 : 64;
        Bytes xwd;
        for (uint32_t v : {100u, 7u, 2u, deep ? 24u : 16u, static_cast<uint32_t>(fb.width), static_cast<uint32_t>(fb.height),
                           0u, 0u, 32u, 0u, 32u, deep ? 32u : 16u, static_cast<uint32_t>(fb.stride), 4u,
                           deep ? 0xFF0000u : 0xF800u, deep ? 0xFF00u : 0x7E0u, deep ? 0xFFu : 0x1Fu, 8u, colours, colours,
                           static_cast<uint32_t>(fb.width), static_cast<uint32_t>(fb.height), 0u, 0u, 0u})
            for (int k = 3; k >= 0; --k)
                xwd.push_back(static_cast<uint8_t>(v >> (8 * k)));
        xwd.resize(xwd.size() + 12 * colours);
        expectHeadersReading(xwd, samplePixels(fb), fb, deep ? "XWD of a 32-bit screen" : "XWD of a 565 screen");
    }
    // A header whose sizes do not add up is no header: its lie about the width is not taken.
    Bytes lying = bmpHeader(kSamples[0], 24);
    lying[18] = 100;
    Bytes data = noise(30011, 23);
    append(&data, lying);
    append(&data, samplePixels(kSamples[0]));
    append(&data, noise(40000, 24));
    for (const Find& f : findAll(data))
        EXPECT_NE(f.width, 100);
}

// Noise, then the 32-bit screen crop as a BMP whose pixels are cut after 24 KiB (a file system's
// first blocks of it), its pixels on a block boundary. Sets *at to where they begin.
Bytes cutStoredScreen(uint32_t seed, int64_t* at)
{
    const Sample& s = kSamples[3];
    const Bytes header = bmpHeader(s, 32);
    Bytes data = noise(8192 - header.size(), seed);
    append(&data, header);
    const Bytes pixels = samplePixels(s);
    *at = append(&data, Bytes(pixels.begin(), pixels.begin() + (24 << 10)));
    return data;
}

// In a fragmented file system a picture's first blocks may be followed by another file's: the
// find keeps to the picture's own blocks, though its header claims more rows.
TEST(FindHeader, FragmentedPictureKeepsToItsOwnBlocks)
{
    const Sample& s = kSamples[3];
    int64_t at = 0;
    Bytes data = cutStoredScreen(25, &at);
    append(&data, readSample(kLibrarySlice));
    append(&data, noise(20000, 26));
    const std::vector<Find> finds = findAll(data);
    ASSERT_GE(finds.size(), 1u);
    EXPECT_EQ(finds[0].offset, at);
    EXPECT_EQ(finds[0].width, s.width);
    EXPECT_LE(finds[0].offset + finds[0].bytes, at + (24 << 10));
    EXPECT_GE(finds[0].offset + finds[0].bytes, at + (20 << 10));
}

// A picture cut short by the file system, its header claiming more rows, ends where the next
// stored picture (a plain grey PGM, as alike down as any) begins; that one is found whole.
TEST(FindHeader, NextStoredPictureEndsTheOneBefore)
{
    int64_t at = 0;
    Bytes data = cutStoredScreen(27, &at);
    const std::string pgm = "P5\n256 32\n255\n";
    const int64_t grey = append(&data, Bytes(pgm.begin(), pgm.end())) + static_cast<int64_t>(pgm.size());
    append(&data, readSample("flat_grey_256x32.raw"));
    append(&data, noise(20000, 28));
    const std::vector<Find> finds = findAll(data);
    ASSERT_EQ(finds.size(), 2u);
    EXPECT_EQ(finds[0].offset, at);
    EXPECT_LE(finds[0].offset + finds[0].bytes, grey - static_cast<int64_t>(pgm.size()));
    EXPECT_EQ(finds[1].offset, grey);
    EXPECT_EQ(finds[1].width, 256);
    EXPECT_EQ(finds[1].height, 32);
}

// A grainy texture too small to stand out by its look is found by its header, where a file begins
// in an archive and at an odd offset in a plain concatenation; a header followed by other bytes is
// no picture.
TEST(FindHeader, SmallTextureFoundByItsHeader)
{
    const Bytes library = readSample(kLibrarySlice);
    const Bytes slate = readSample("slate_101x101.pgm");
    for (size_t lead : {(library.size() / 512 + 1) * 512, library.size() + 7}) {
        Bytes data = library;
        data.resize(lead);
        const int64_t at = append(&data, slate) + 15;
        append(&data, library);
        const std::vector<Find> finds = findAll(data);
        ASSERT_EQ(finds.size(), 1u) << lead;
        EXPECT_EQ(finds[0].offset, at);
        EXPECT_EQ(finds[0].layout, kGrey8);
        EXPECT_EQ(finds[0].width, 101);
        EXPECT_EQ(finds[0].height, 101);
    }
    Bytes bare = library;
    bare.resize((bare.size() / 512 + 1) * 512);
    append(&bare, Bytes(slate.begin(), slate.begin() + 15));
    append(&bare, library);
    EXPECT_TRUE(findAll(bare).empty());
}

// Pictures among real library bytes and noise, two across the scan's chunk edges, one with its
// header: the file scan on several threads and the buffer search give the same finds, and so do
// two halves of the range.
TEST(FindFile, FileAndBufferGiveTheSameFinds)
{
    Bytes data = noise((4 << 20) - 30000, 12);
    append(&data, samplePixels(kSamples[2]));
    append(&data, readSample(kLibrarySlice));
    append(&data, noise(3 << 20, 13));
    append(&data, readSample(kSamples[0].file));
    append(&data, noise((8 << 20) - 100000 - data.size() % 4096, 14));
    append(&data, samplePixels(kSamples[3]));
    append(&data, noise(200000, 15));
    const std::string path = scratchPath("same.bin");
    ASSERT_TRUE(writeFile(path, data));

    FindOptions o = defaultFindOptions();
    const std::vector<Find> inMemory = findAll(data, o);
    ASSERT_GE(inMemory.size(), 3u);
    for (int32_t threads : {1, 2, 5}) {
        o.threads = threads;
        std::vector<Find> fromFile;
        ScanResult result;
        char error[256];
        ASSERT_TRUE(findInPath(path.c_str(), o, nullptr, nullptr, &fromFile, &result, error, sizeof error)) << error;
        EXPECT_EQ(result.scanned, static_cast<int64_t>(data.size()));
        EXPECT_FALSE(result.stopped);
        ASSERT_EQ(fromFile.size(), inMemory.size()) << threads;
        for (size_t k = 0; k < fromFile.size(); ++k) {
            EXPECT_EQ(fromFile[k].offset, inMemory[k].offset);
            EXPECT_EQ(fromFile[k].bytes, inMemory[k].bytes);
            EXPECT_EQ(fromFile[k].width, inMemory[k].width);
            EXPECT_EQ(fromFile[k].stride, inMemory[k].stride);
            EXPECT_EQ(fromFile[k].score, inMemory[k].score);
        }
    }
    // Two machines splitting the file find what one finds over the whole.
    const int64_t half = 6 << 20;
    std::vector<Find> split;
    for (auto [from, to] : {std::pair{int64_t{0}, half}, std::pair{half, int64_t{-1}}}) {
        o.from = from;
        o.to = to;
        ScanResult result;
        char error[256];
        ASSERT_TRUE(findInPath(path.c_str(), o, nullptr, nullptr, &split, &result, error, sizeof error));
    }
    std::remove(path.c_str());
    ASSERT_EQ(split.size(), inMemory.size());
    for (size_t k = 0; k < split.size(); ++k)
        EXPECT_EQ(split[k].offset, inMemory[k].offset);
}

TEST(FindFile, SparseFilePastFourGiB)
{
    const std::string path = scratchPath("sparse.bin");
    const int64_t fourGiB = int64_t{1} << 32;
    Bytes region = noise(400000, 8);
    const int64_t at = 123457;
    const Bytes pixels = samplePixels(kSamples[2]);
    std::copy(pixels.begin(), pixels.end(), region.begin() + at);
    ASSERT_TRUE(writeFile(path, region, fourGiB - 200000));

    FindOptions options = defaultFindOptions();
    options.from = fourGiB - 300000;
    std::vector<Find> finds;
    ScanResult result;
    char error[256];
    const bool ok = findInPath(path.c_str(), options, nullptr, nullptr, &finds, &result, error, sizeof error);
    std::remove(path.c_str());
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(result.scanned, 500000);
    EXPECT_EQ(result.size, fourGiB + 200000);
    ASSERT_EQ(finds.size(), 1u);
    EXPECT_GE(coverage(finds[0], kSamples[2], fourGiB - 200000 + at), 0.9);
}

struct Watch {
    std::vector<int64_t> done;
    int64_t total;
    std::vector<Find> finds;
    std::atomic<bool> stop;
    std::string truncate;  // a file cut short when the first find arrives
};

// Progress only grows, to its total; a stop asked for from a callback ends the scan with the
// finds made so far.
TEST(FindFile, ProgressGrowsAndStopEndsEarly)
{
    Bytes data = noise(24 << 20, 16);
    const Bytes pixels = samplePixels(kSamples[2]);
    for (int64_t at : {int64_t{100000}, int64_t{12} << 20, int64_t{20} << 20})
        std::copy(pixels.begin(), pixels.end(), data.begin() + at);
    const std::string path = scratchPath("progress.bin");
    ASSERT_TRUE(writeFile(path, data));
    int fd = openForRead(path.c_str(), false);
    ASSERT_NE(fd, kNoFile);

    Watch watch;
    watch.total = 0;
    watch.stop = false;
    FindCallbacks callbacks = {[](void* user, const Find& f) {
                                   static_cast<Watch*>(user)->finds.push_back(f);
                                   return true;
                               },
                               [](void* user, int64_t done, int64_t total) {
                                   static_cast<Watch*>(user)->done.push_back(done);
                                   static_cast<Watch*>(user)->total = total;
                               },
                               &watch, &watch.stop};
    FindOptions o = defaultFindOptions();
    o.threads = 1;
    ScanResult result;
    char error[256];
    ASSERT_TRUE(findInFile(fd, o, callbacks, &result, error, sizeof error));
    EXPECT_EQ(watch.finds.size(), 3u);
    ASSERT_FALSE(watch.done.empty());
    EXPECT_TRUE(std::is_sorted(watch.done.begin(), watch.done.end()));
    EXPECT_EQ(watch.done.back(), watch.total);

    watch.finds.clear();
    callbacks.onFind = [](void* user, const Find& f) {
        Watch* w = static_cast<Watch*>(user);
        w->finds.push_back(f);
        w->stop = true;
        return true;
    };
    ASSERT_TRUE(findInFile(fd, o, callbacks, &result, error, sizeof error));
    EXPECT_TRUE(result.stopped);
    EXPECT_GE(watch.finds.size(), 1u);
    EXPECT_LT(watch.finds.size(), 3u);
    EXPECT_LT(result.scanned, static_cast<int64_t>(data.size()));
    closeFile(fd);
    std::remove(path.c_str());
}

// A file cut short while it is scanned: the scan reads to its new end, says where that was, and
// keeps the finds before it.
TEST(FindFile, FileShrinkingUnderTheScanKeepsTheFindsBefore)
{
    Bytes data = noise(40 << 20, 17);
    const Bytes pixels = samplePixels(kSamples[2]);
    std::copy(pixels.begin(), pixels.end(), data.begin() + 1000);
    std::copy(pixels.begin(), pixels.end(), data.begin() + (30 << 20));
    Watch watch;
    watch.truncate = scratchPath("shrink.bin");
    ASSERT_TRUE(writeFile(watch.truncate, data));
    int fd = openForRead(watch.truncate.c_str(), false);
    ASSERT_NE(fd, kNoFile);
    FindCallbacks callbacks = {[](void* user, const Find& f) {
                                   Watch* w = static_cast<Watch*>(user);
                                   if (w->finds.empty()) {
                                       EXPECT_EQ(truncate(w->truncate.c_str(), 8 << 20), 0);
                                   }
                                   w->finds.push_back(f);
                                   return true;
                               },
                               nullptr, &watch, nullptr};
    FindOptions o = defaultFindOptions();
    o.threads = 1;
    ScanResult result;
    char error[256];
    ASSERT_TRUE(findInFile(fd, o, callbacks, &result, error, sizeof error));
    closeFile(fd);
    std::remove(watch.truncate.c_str());
    ASSERT_EQ(watch.finds.size(), 1u);
    EXPECT_GE(coverage(watch.finds[0], kSamples[2], 1000), 0.9);
    EXPECT_GE(result.shrunkTo, 8 << 20);
    EXPECT_LT(result.shrunkTo, 30 << 20);
    EXPECT_EQ(result.scanned, result.shrunkTo);
}

// Two lags in one pass agree with one lag at a time, also where the farther lag's partners run
// past the end before the nearer one's.
TEST(FindKernels, PairOfLagsMatchesSingleLags)
{
    const Bytes data = readSample(kLibrarySlice);
    const int64_t size = static_cast<int64_t>(data.size());
    struct Case { int64_t from, count, step, lagA, lagB; };
    for (const Case& c : {Case{0, 4096, 1, 300, 450}, Case{1000, 128, 7, 640, 641}, Case{size - 900, 800, 1, 700, 100},
                          Case{size - 500, 64, 3, 20, 600}, Case{size - 10, 16, 1, 50, 60}}) {
        float a = -1.0f, b = -1.0f;
        meanDifferencePair(data.data(), size, c.from, c.count, c.step, c.lagA, c.lagB, &a, &b);
        EXPECT_EQ(a, meanDifference(data.data(), size, c.from, c.count, c.step, c.lagA)) << c.from << " " << c.lagA;
        EXPECT_EQ(b, meanDifference(data.data(), size, c.from, c.count, c.step, c.lagB)) << c.from << " " << c.lagB;
    }
}

// A batch of neighbouring lags, every byte or spaced, over several batches of positions and up to
// the end of the data, is the lags one at a time.
TEST(FindKernels, BatchOfLagsMatchesSingleLags)
{
    const Bytes data = readSample(kLibrarySlice);
    const int64_t size = static_cast<int64_t>(data.size());
    struct Case { int64_t from, count, step, lo; int32_t lags; };
    for (const Case& c : {Case{0, 9000, 1, 100, 33}, Case{4095, 4097, 1, 8, 20}, Case{500, 3000, 3, 256, 33},
                          Case{size - 5000, 6000, 1, 2000, 33}, Case{size - 40, 40, 1, 30, 9}}) {
        float got[kMaxBatchLags];
        meanDifferences(data.data(), size, c.from, c.count, c.step, c.lo, c.lags, got);
        for (int32_t k = 0; k < c.lags; ++k)
            EXPECT_EQ(got[k], meanDifference(data.data(), size, c.from, c.count, c.step, c.lo + k)) << c.from << " " << c.lo + k;
    }
}

// The vector kernels against the plain loops they replace.
TEST(FindKernels, MatchPlainLoops)
{
    const Bytes data = randomTestBytes(5000 + kKernelPadding, 21);
    for (int64_t n : {0, 3, 4, 17, 20, 27, 35, 36, 44, 256, 4096, 5000}) {
        // Bytes 61 on: within the padding past n.
        const uint64_t capped = sumCappedDifferences(data.data(), data.data() + 61, n, 15);
        uint64_t plainCapped = 0;
        for (int64_t i = 0; i < n; ++i)
            plainCapped += static_cast<uint64_t>(std::min(std::abs(data[i] - data[i + 61]), 15));
        EXPECT_EQ(capped, plainCapped) << n;
        uint64_t sums[4], want[4] = {0, 0, 0, 0};
        roughness(data.data(), n, sums);
        for (int64_t i = 0; i + 4 < n; ++i)
            for (int k = 1; k <= 4; ++k)
                want[k - 1] += static_cast<uint64_t>(std::abs(data[i] - data[i + k]));
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(sums[k], want[k]);
    }
    std::vector<int32_t> positions;
    for (int32_t p = 0; p < 600; ++p)
        positions.push_back(p * 3);
    const int32_t lagMax = 3000;
    // The sums are written, not added to: what they held before does not count.
    std::vector<uint32_t> got(lagMax + 1, 7), want(lagMax + 1, 0);
    got[0] = 0;
    sumDifferences(data.data(), positions.data(), 600, lagMax, 15, got.data());
    for (int32_t p : positions)
        for (int32_t lag = 1; lag <= lagMax; ++lag)
            want[lag] += static_cast<uint32_t>(std::min(std::abs(data[p] - data[p + lag]), 15));
    EXPECT_EQ(got, want);
    // Five neighbours and four bytes further on, over more samples than 16-bit sums hold.
    const int32_t reach[4] = {50, 50, 48, 777};
    std::vector<int32_t> many;
    for (int32_t k = 0; k < 9000; ++k)
        many.push_back(k * 7 % 4000);
    int64_t nearSums[5] = {}, farSums[4] = {}, nearWant[5] = {}, farWant[4] = {};
    sumPixelNeighbours(data.data(), many.data(), 9000, reach, 15, nearSums, farSums);
    for (int32_t o : many) {
        for (int k = 1; k <= 5; ++k)
            nearWant[k - 1] += std::min(std::abs(data[o] - data[o + k]), 15);
        for (int k = 0; k < 4; ++k)
            farWant[k] += std::min(std::abs(data[o] - data[o + reach[k]]), 15);
    }
    EXPECT_TRUE(std::equal(nearSums, nearSums + 5, nearWant));
    EXPECT_TRUE(std::equal(farSums, farSums + 4, farWant));
    // 32 lags from a given one on, added to what the sums held.
    for (int64_t lag : {1, 8, 61, 999}) {
        uint32_t near[kNearLags], plain[kNearLags];
        std::fill(near, near + kNearLags, 5u);
        std::fill(plain, plain + kNearLags, 5u);
        sumNearDifferences(data.data(), positions.data(), 600, lag, 15, near);
        for (int32_t p : positions)
            for (int32_t j = 0; j < kNearLags; ++j)
                plain[j] += static_cast<uint32_t>(std::min(std::abs(data[p] - data[p + lag + j]), 15));
        EXPECT_TRUE(std::equal(near, near + kNearLags, plain)) << "lag " << lag;
    }
}

// Every position where a header's first bytes stand is marked, among noise.
TEST(FindKernels, HeaderMarksMissNoHeaderStart)
{
    Bytes data = randomTestBytes(4096, 22);
    const std::vector<std::vector<uint8_t>> starts = {{'B', 'M'}, {'P', '5'}, {'P', '6'}, {'I', 'I', 42, 0},
                                                      {'M', 'M', 0, 42}, {9, 0, 2}, {0, 0, 3}, {0, 0, 0, 0, 0, 0, 0, 7}};
    for (size_t k = 0; k < starts.size(); ++k)
        for (size_t at = 100 + 37 * k; at + 64 < data.size(); at += 389)
            std::copy(starts[k].begin(), starts[k].end(), data.begin() + static_cast<std::ptrdiff_t>(at));
    int64_t marked = 0;
    for (size_t p = 0; p + 32 < data.size(); p += 16) {
        const uint32_t marks = headerMarks(data.data() + p);
        for (size_t k = 0; k < 16; ++k) {
            const uint8_t* h = data.data() + p + k;
            const bool start = (h[0] == 'B' && h[1] == 'M') || (h[0] == 'P' && (h[1] == '5' || h[1] == '6')) ||
                               (h[0] == 'I' && h[1] == 'I' && h[2] == 42 && h[3] == 0) ||
                               (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 42) ||
                               (h[1] == 0 && (h[2] == 2 || h[2] == 3)) || (h[0] == 0 && h[1] == 0 && h[7] == 7);
            EXPECT_TRUE(!start || (marks >> k & 1)) << "at " << p + k;
            marked += marks >> k & 1;
        }
    }
    // Not every position either.
    EXPECT_LT(marked, static_cast<int64_t>(data.size()) / 4);
}

}  // namespace
