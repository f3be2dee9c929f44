#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/raw_file.h"
#include "app/viewer_state.h"
#include "page/page.h"
#include "tests/support/doubles.h"
#include "tests/support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kBlackPixel = 0xFF000000u;

uint32_t rgb(uint32_t r, uint32_t g, uint32_t b)
{
    return r | g << 8 | b << 16 | kBlackPixel;
}

uint32_t grey(uint32_t level)
{
    return rgb(level, level, level);
}

// The decoding walk written out plainly, one unit at a time; the reader must match it.
std::vector<uint32_t> referenceImage(const Bytes& page, int format, int width, int height)
{
    const int unitPixels[] = {4, 2, 1, 1};
    const int unitBytes[] = {2, 2, 2, 3};
    int texWidth = 1, texHeight = 1;
    while (texWidth < width)
        texWidth *= 2;
    while (texHeight < height)
        texHeight *= 2;
    size_t total = static_cast<size_t>(texWidth) * texHeight;
    auto at = [&](size_t k) -> uint32_t { return k < page.size() ? page[k] : 0; };
    std::vector<uint32_t> image(total, 0);
    int x = 0, y = 0;
    size_t pos = 0;
    const int P = unitPixels[format];
    for (size_t first = 0; first < total; first += P) {
        bool decoded = x < width && y < height && pos < page.size();
        uint32_t w = at(pos) | at(pos + 1) << 8;
        uint32_t direct15 = rgb((w & 31) * 8, (w >> 5 & 31) * 8, (w >> 10 & 31) * 8);
        for (int j = 0; j < P && first + j < total; ++j) {
            uint32_t pixel = format == 0   ? grey((at(pos + j / 2) >> (j % 2 * 4) & 15) * 15)
                             : format == 1 ? grey(at(pos + j) * 15 % 256)
                             : format == 2 ? direct15
                                           : rgb(at(pos), at(pos + 1), at(pos + 2));
            image[first + j] = decoded ? pixel : kBlackPixel;
        }
        x += P;
        while (x >= texWidth) {
            x -= texWidth;
            ++y;
        }
        if (x < width && y < height)
            pos += unitBytes[format];
    }
    return image;
}

class PageTest : public testing::Test {
protected:
    void SetUp() override
    {
        resetForTest();
        ASSERT_TRUE(enterScratchDir(&scratch, "tessvane-page"));
    }

    void TearDown() override
    {
        freePage(page);
        EXPECT_TRUE(leaveScratchDir(&scratch));
    }

    // A new file in the scratch directory; its name is relative to it.
    std::string writeFile(const Bytes& bytes)
    {
        std::string path = "data" + std::to_string(fileCount++) + ".bin";
        EXPECT_TRUE(writeTestFile(path.c_str(), bytes.data(), bytes.size()));
        return path;
    }

    // Loads as the viewer does: fileOffset holds start before the call.
    PageImage* load(const std::string& path, int format, int width, int height, int64_t start,
                    int64_t end)
    {
        freePage(page);
        viewer.fileOffset = start;
        page = loadPage(path.c_str(), format, width, height, start, end);
        return page;
    }

    PageImage* loadAt(const std::string& path, int format, int width, int height, int64_t start)
    {
        return load(path, format, width, height, start, start + kPageSize[format]);
    }

    uint32_t pixel(int index) const
    {
        const uint8_t* p = page->pixels + static_cast<size_t>(index) * 4;
        return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }

    std::vector<uint32_t> allPixels() const
    {
        std::vector<uint32_t> out(static_cast<size_t>(page->texWidth) * page->texHeight);
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = pixel(static_cast<int>(i));
        return out;
    }

    // The first count pixels of a 24-bit page must be the file's bytes from offset on.
    void expectDirect24(const Bytes& file, int64_t offset, int count)
    {
        for (int i = 0; i < count; ++i) {
            const uint8_t* b = &file[offset + 3 * i];
            ASSERT_EQ(pixel(i), rgb(b[0], b[1], b[2])) << "pixel " << i;
        }
    }

    ScratchDir scratch;
    int fileCount = 0;
    PageImage* page = nullptr;
};

TEST(NextPowerOfTwo, RoundsUpAndStaysInRange)
{
    EXPECT_EQ(nextPowerOfTwo(1), 1);
    EXPECT_EQ(nextPowerOfTwo(3), 4);
    EXPECT_EQ(nextPowerOfTwo(256), 256);
    EXPECT_EQ(nextPowerOfTwo(300), 512);
    EXPECT_EQ(nextPowerOfTwo(1 << 30), 1 << 30);
    EXPECT_EQ(nextPowerOfTwo(0), 0);
    EXPECT_EQ(nextPowerOfTwo(-5), 0);
    EXPECT_EQ(nextPowerOfTwo(INT32_MIN), 0);
    EXPECT_GT(nextPowerOfTwo((1 << 30) + 1), kMaxTextureSide);
    EXPECT_GT(nextPowerOfTwo(INT32_MAX), kMaxTextureSide);
}

TEST_F(PageTest, DecodesEachFormatFromKnownBytes)
{
    struct Case {
        int format;
        Bytes bytes;
        std::vector<uint32_t> pixels;
    };
    const Case cases[] = {
        {0, {0x21, 0xF3}, {grey(15), grey(30), grey(45), grey(225)}},
        {1, {0, 17, 18, 255}, {grey(0), grey(255), grey(14), grey(241)}},
        {2, {0xFF, 0x7F, 0x00, 0x80, 0x34, 0x12, 0x1F, 0x00},
         {rgb(248, 248, 248), rgb(0, 0, 0), rgb(160, 136, 32), rgb(248, 0, 0)}},
        {3, {10, 20, 30, 40, 50, 60, 70, 80, 90, 1, 2, 255},
         {rgb(10, 20, 30), rgb(40, 50, 60), rgb(70, 80, 90), rgb(1, 2, 255)}},
    };
    for (const Case& c : cases) {
        ASSERT_NE(loadAt(writeFile(c.bytes), c.format, 4, 2, 0), nullptr);
        EXPECT_EQ(page->texWidth, 4);
        EXPECT_EQ(page->texHeight, 2);
        std::vector<uint32_t> expected = c.pixels;
        expected.resize(8, kBlackPixel);  // row 1 has no bytes left
        EXPECT_EQ(allPixels(), expected) << "format " << c.format;
    }
}

TEST_F(PageTest, MatchesPlainUnitWalkForAllShapes)
{
    // Packed rows of odd widths (200 x 100 in 15-bit among them), units straddling the window
    // edge, narrow textures. 1001 bytes runs out inside units of every format; the long file
    // fills whole pages, and a 24-bit page ends in the middle of a pixel.
    const Bytes shortFile = randomTestBytes(1001, 1);
    const Bytes longFile = randomTestBytes(210001, 2);
    const std::string paths[] = {writeFile(shortFile), writeFile(longFile)};
    const Bytes* contents[] = {&shortFile, &longFile};
    const int widths[] = {1, 2, 3, 5, 6, 7, 8, 13, 33, 200, 256, 512};
    const int heights[] = {1, 2, 3, 100, 512};
    for (int f = 0; f < 2; ++f) {
        for (int format = 0; format < kPixelFormatCount; ++format) {
            size_t count = std::min<size_t>(contents[f]->size(), kPageSize[format]);
            Bytes bytes(contents[f]->begin(), contents[f]->begin() + count);
            for (int width : widths) {
                for (int height : heights) {
                    ASSERT_NE(loadAt(paths[f], format, width, height, 0), nullptr);
                    ASSERT_EQ(allPixels(), referenceImage(bytes, format, width, height))
                        << "file " << f << " format " << format << " " << width << "x" << height;
                }
            }
        }
    }
}

TEST_F(PageTest, UnitCutShortTakesMissingBytesAsZero)
{
    // 151 bytes: 50 whole pixels, then one with only its red byte.
    Bytes small = randomTestBytes(151, 4);
    ASSERT_NE(loadAt(writeFile(small), 3, 256, 1, 0), nullptr);
    expectDirect24(small, 0, 50);
    EXPECT_EQ(pixel(50), rgb(small[150], 0, 0));
    EXPECT_EQ(pixel(51), kBlackPixel);
}

TEST_F(PageTest, UnitsStickingOutOfTheWindowOrTheImage)
{
    const Bytes bytes = {0x21, 0x43, 0x65, 0x87};
    const std::string path = writeFile(bytes);
    std::vector<uint32_t> greys;  // the nibbles in order: 1 to 8
    for (uint32_t n = 1; n <= 8; ++n)
        greys.push_back(grey(n * 15));

    // 4-bit, width 6: the second unit of each row covers columns 4 to 7 and is decoded whole.
    ASSERT_NE(loadAt(path, 0, 6, 1, 0), nullptr);
    EXPECT_EQ(allPixels(), greys);

    ASSERT_NE(loadAt(path, 0, 1, 1, 0), nullptr);
    EXPECT_EQ(allPixels(), std::vector<uint32_t>{grey(15)});

    ASSERT_NE(loadAt(path, 0, 2, 1, 0), nullptr);
    EXPECT_EQ(allPixels(), (std::vector<uint32_t>{grey(15), grey(30)}));

    // Texture 2 x 4: each unit runs over two rows; the second starts in row 2, still inside.
    ASSERT_NE(loadAt(path, 0, 2, 3, 0), nullptr);
    EXPECT_EQ(allPixels(), greys);

    // 8-bit, width 1: the first unit fills rows 0 and 1.
    ASSERT_NE(loadAt(path, 1, 1, 2, 0), nullptr);
    EXPECT_EQ(allPixels(), (std::vector<uint32_t>{grey(0x21 * 15 % 256), grey(0x43 * 15 % 256)}));
}

TEST_F(PageTest, EndOfFileRules)
{
    // Forward past the end: the page at offset 0.
    Bytes file = randomTestBytes(100000, 6);
    std::string path = writeFile(file);
    for (int64_t start : {int64_t{100000}, int64_t{5000000}}) {
        ASSERT_NE(loadAt(path, 3, 256, 256, start), nullptr);
        EXPECT_EQ(viewer.fileOffset, 0);
        expectDirect24(file, 0, 4);
    }

    // Back past the start: the last 100 bytes.
    ASSERT_NE(loadAt(path, 3, 256, 256, -20000), nullptr);
    EXPECT_EQ(viewer.fileOffset, 99900);
    expectDirect24(file, 99900, 33);
    EXPECT_EQ(pixel(33), rgb(file[99999], 0, 0));
    EXPECT_EQ(pixel(34), kBlackPixel);

    // A file under 200 bytes is shown whole.
    Bytes tiny = randomTestBytes(150, 7);
    ASSERT_NE(loadAt(writeFile(tiny), 3, 256, 256, -20000), nullptr);
    EXPECT_EQ(viewer.fileOffset, 0);
    expectDirect24(tiny, 0, 50);
    EXPECT_EQ(pixel(50), kBlackPixel);

    // The end passed in cuts the tail short when it lies inside it, down to nothing.
    Bytes odd = randomTestBytes(180050, 8);
    std::string oddPath = writeFile(odd);
    ASSERT_NE(load(oddPath, 3, 256, 256, -20000, 180000), nullptr);
    EXPECT_EQ(viewer.fileOffset, 179950);
    expectDirect24(odd, 179950, 16);
    EXPECT_EQ(pixel(16), rgb(odd[179998], odd[179999], 0));
    EXPECT_EQ(pixel(17), kBlackPixel);
    ASSERT_NE(load(oddPath, 3, 256, 256, -200, 179950), nullptr);
    EXPECT_EQ(pixel(0), kBlackPixel);
    ASSERT_NE(load(oddPath, 3, 256, 256, -200, 1000), nullptr);  // end before the tail: ignored
    expectDirect24(odd, 179950, 33);
    EXPECT_EQ(pixel(34), kBlackPixel);
}

// A disk image attached as a block device reports no size of its own: it is browsed in full all
// the same, its end found from the device.
TEST_F(PageTest, BlockDeviceIsBrowsedToItsEnd)
{
    Bytes image = randomTestBytes(3 << 20, 12);
    std::string path = writeFile(image);
    const std::string device = attachLoopDevice(path.c_str());
    if (device.empty())
        GTEST_SKIP() << "no loop device could be attached here (not root, or no loop support)";
    ASSERT_NE(loadAt(device, 3, 256, 256, (3 << 20) - 3000), nullptr);
    EXPECT_EQ(viewer.fileOffset, (3 << 20) - 3000);
    expectDirect24(image, (3 << 20) - 3000, 1000);
    ASSERT_NE(loadAt(device, 3, 256, 256, -20000), nullptr);
    EXPECT_EQ(viewer.fileOffset, (3 << 20) - 100);
    detachLoopDevice(device);
}

TEST_F(PageTest, EmptyMissingAndUnreadableFiles)
{
    std::string empty = writeFile({});
    for (int64_t start : {int64_t{0}, int64_t{-5}, int64_t{7}}) {
        ASSERT_NE(loadAt(empty, 1, 16, 16, start), nullptr);
        EXPECT_EQ(viewer.fileOffset, 0);
        EXPECT_EQ(allPixels(), std::vector<uint32_t>(256, kBlackPixel));
    }

    viewer.fileOffset = 1234;
    EXPECT_EQ(loadPage("missing.bin", 3, 256, 256, 1234, 201234), nullptr);
    EXPECT_EQ(loadPage(".", 3, 256, 256, 1234, 201234), nullptr);
    std::string path = writeFile(randomTestBytes(300, 9));
    EXPECT_EQ(loadPage(path.c_str(), 4, 256, 256, 1234, 201234), nullptr);
    EXPECT_EQ(loadPage(path.c_str(), -1, 256, 256, 1234, 201234), nullptr);
    EXPECT_EQ(viewer.fileOffset, 1234);
}

// Whatever the data path names, the load answers at once: a FIFO (with or without a writer) or a
// socket cannot be paged and counts as a file that cannot be opened; a device reads as no data.
TEST_F(PageTest, FifosDevicesAndSocketsNeverBlock)
{
    std::string fifo = "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (bool writer : {false, true}) {
        int held = writer ? open(fifo.c_str(), O_RDWR) : -1;
        EXPECT_EQ(loadAt(fifo, 3, 16, 16, 500), nullptr);
        if (held >= 0)
            close(held);
    }
    ASSERT_NE(loadAt("/dev/zero", 1, 16, 16, 500), nullptr);
    EXPECT_EQ(viewer.fileOffset, 0);
    EXPECT_EQ(allPixels(), std::vector<uint32_t>(256, kBlackPixel));

    std::string socketPath = "socket";
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(loadAt(socketPath, 3, 16, 16, 0), nullptr);
    close(listener);
}

TEST_F(PageTest, TextureSizeLimits)
{
    std::string path = writeFile(randomTestBytes(300, 10));
    EXPECT_EQ(loadAt(path, 3, kMaxTextureSide + 1, 16, 0), nullptr);
    EXPECT_EQ(loadAt(path, 3, 16, kMaxTextureSide + 1, 0), nullptr);
    EXPECT_EQ(loadAt(path, 0, INT32_MAX, INT32_MAX, 0), nullptr);

    ASSERT_NE(loadAt(path, 3, kMaxTextureSide, 1, 0), nullptr);
    EXPECT_EQ(page->texWidth, kMaxTextureSide);
    EXPECT_EQ(pixel(kMaxTextureSide - 1), kBlackPixel);

    for (auto [width, height] : {std::pair{0, 256}, std::pair{256, -7}, std::pair{INT32_MIN, 0}}) {
        ASSERT_NE(loadAt(path, 3, width, height, 0), nullptr);
        EXPECT_EQ(int64_t{page->texWidth} * page->texHeight, 0);
        EXPECT_EQ(page->texWidth, nextPowerOfTwo(width));
    }
}

TEST_F(PageTest, SparseFileBeyondFourGiB)
{
    const int64_t size = (int64_t{5} << 30) + 7;
    const int64_t far = (int64_t{4} << 30) + 3;
    std::string path = "sparse.bin";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const Bytes head = randomTestBytes(3, 13), middle = randomTestBytes(600, 11);
    const Bytes tail = randomTestBytes(100, 12);
    bool written = ftruncate(fd, size) == 0 && pwrite(fd, head.data(), 3, 0) == 3 &&
                   pwrite(fd, middle.data(), middle.size(), far) == ssize_t(middle.size()) &&
                   pwrite(fd, tail.data(), tail.size(), size - 100) == ssize_t(tail.size());
    close(fd);
    ASSERT_TRUE(written);

    ASSERT_NE(loadAt(path, 3, 16, 16, far), nullptr);
    EXPECT_EQ(viewer.fileOffset, far);
    expectDirect24(middle, 0, 200);

    ASSERT_NE(loadAt(path, 3, 16, 16, -20000), nullptr);
    EXPECT_EQ(viewer.fileOffset, size - 100);
    expectDirect24(tail, 0, 33);
    EXPECT_EQ(pixel(34), kBlackPixel);

    ASSERT_NE(load(path, 3, 16, 16, -1, size - 40), nullptr);
    expectDirect24(tail, 0, 20);
    EXPECT_EQ(pixel(20), kBlackPixel);

    ASSERT_NE(loadAt(path, 3, 16, 16, size), nullptr);
    EXPECT_EQ(viewer.fileOffset, 0);
    expectDirect24(head, 0, 1);
}

}  // namespace
