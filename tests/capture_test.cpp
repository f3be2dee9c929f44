#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "app/settings.h"
#include "app/viewer_state.h"
#include "capture/capture.h"
#include "page/page.h"
#include "tests/support/doubles.h"
#include "tests/support/test_support.h"

namespace {

// Every channel differs from the others and from its neighbours, so a swapped channel,
// row or column shows; alpha must not reach the file.
uint8_t channel(int32_t x, int32_t y, int c)
{
    return static_cast<uint8_t>(x * 7 + y * 13 + c * 85 + (x >> 3) * 31);
}

uint8_t texel(int32_t x, int32_t y, int c)
{
    return c < 3 ? channel(x, y, c) : 0xA5;
}

PageImage* makePage(int32_t width, int32_t height)
{
    return makeTestPage(width, height, texel);
}

uint32_t le32(const uint8_t* at)
{
    return at[0] | at[1] << 8 | at[2] << 16 | uint32_t(at[3]) << 24;
}
uint32_t le16(const uint8_t* at) { return at[0] | at[1] << 8; }

std::vector<uint8_t> readWhole(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

bool exists(const char* path)
{
    struct stat info;
    return lstat(path, &info) == 0;
}

std::vector<uint8_t> build(const PageImage* page)
{
    size_t size = 0;
    uint8_t* file = buildBmpFile(page, &size);
    EXPECT_NE(file, nullptr);
    std::vector<uint8_t> bytes(file, file + (file ? size : 0));
    std::free(file);
    return bytes;
}

// Checks the header and every stored byte against the page, rows bottom-up.
void expectBmpOf(const std::vector<uint8_t>& bmp, const PageImage* page)
{
    int32_t width = page->texWidth, height = page->texHeight;
    size_t rowSize = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
    ASSERT_EQ(bmp.size(), 54 + rowSize * height);
    const uint8_t* h = bmp.data();
    EXPECT_EQ(h[0], 'B');
    EXPECT_EQ(h[1], 'M');
    EXPECT_EQ(le32(h + 2), bmp.size());
    EXPECT_EQ(le32(h + 6), 0u);
    EXPECT_EQ(le32(h + 10), 54u);
    EXPECT_EQ(le32(h + 14), 40u);
    EXPECT_EQ(le32(h + 18), static_cast<uint32_t>(width));
    EXPECT_EQ(le32(h + 22), static_cast<uint32_t>(height));
    EXPECT_EQ(le16(h + 26), 1u);
    EXPECT_EQ(le16(h + 28), 24u);
    EXPECT_EQ(le32(h + 34), rowSize * height);
    for (int field : {30, 38, 42, 46, 50})
        EXPECT_EQ(le32(h + field), 0u) << field;
    int mismatches = 0;
    for (int32_t row = 0; row < height; ++row) {
        const uint8_t* stored = h + 54 + rowSize * (height - 1 - row);
        for (int32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                mismatches += stored[x * 3 + c] != channel(x, row, 2 - c);
        for (size_t pad = static_cast<size_t>(width) * 3; pad < rowSize; ++pad)
            mismatches += stored[pad] != 0;
    }
    EXPECT_EQ(mismatches, 0) << width << "x" << height;
}

TEST(BuildBmpFile, HeaderAndPixelsForManySizes)
{
    const int32_t sizes[][2] = {{256, 256}, {512, 256}, {1, 8}, {2, 3},
                                {4, 4},     {16, 2},    {20, 5}, {36, 1}};
    for (const auto& size : sizes) {
        PageImage* page = makePage(size[0], size[1]);
        expectBmpOf(build(page), page);
        freePage(page);
    }
    PageImage* page = makePage(256, 256);
    EXPECT_EQ(build(page).size(), 196662u);
    freePage(page);
}

TEST(BuildBmpFile, EmptyPageGivesHeaderOnly)
{
    for (int32_t width : {0, 256}) {
        PageImage page = {width, 0, nullptr};
        std::vector<uint8_t> bmp = build(&page);
        ASSERT_EQ(bmp.size(), 54u);
        EXPECT_EQ(le32(&bmp[2]), 54u);
        EXPECT_EQ(le32(&bmp[18]), static_cast<uint32_t>(width));
        EXPECT_EQ(le32(&bmp[22]), 0u);
        EXPECT_EQ(le32(&bmp[34]), 0u);
    }
}

TEST(FormatCaptureName, ZeroRunAndLimits)
{
    const struct { int32_t counter; const char* name; } cases[] = {
        {1, "shot_0000000001.bmp"}, {10, "shot_0000000010.bmp"}, {999999999, "shot_0999999999.bmp"},
        {1000000000, "shot_1000000000.bmp"}, {2147483647, "shot_2147483647.bmp"},
    };
    char name[64];
    for (const auto& c : cases) {
        ASSERT_TRUE(formatCaptureName(name, sizeof name, "shot", c.counter));
        EXPECT_STREQ(name, c.name);
    }
    // "_0000000001.bmp" adds 15 characters: a 1008-character base just fits 1023.
    std::vector<char> buffer(kTextCapacity + 16, '#');
    EXPECT_TRUE(formatCaptureName(buffer.data(), kTextCapacity, std::string(1008, 'a').c_str(), 1));
    EXPECT_EQ(std::strlen(buffer.data()), 1023u);
    for (size_t length : {1009, 5000}) {
        std::string base(length, 'a');
        EXPECT_FALSE(formatCaptureName(buffer.data(), kTextCapacity, base.c_str(), 1));
    }
    EXPECT_EQ(std::string(buffer.data() + kTextCapacity, 16), std::string(16, '#'));
}

class CaptureInDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetForTest();
        ASSERT_TRUE(enterScratchDir(&scratch, "tessvane-capture"));
        std::strcpy(viewer.capturePath, "shot");
        viewer.page = makePage(32, 16);
    }
    void TearDown() override
    {
        resetForTest();
        EXPECT_TRUE(leaveScratchDir(&scratch));
    }
    static int entries()
    {
        int count = 0;
        DIR* dir = opendir(".");
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
        return count;
    }
    ScratchDir scratch;
};

TEST_F(CaptureInDir, NumberedFilesAndCounter)
{
    // An older, longer file of the second name must not keep its tail.
    const std::string older(100000, 'z');
    ASSERT_TRUE(writeTestFile("shot_0000000002.bmp", older.data(), older.size()));
    captureBmp();
    captureBmp();
    EXPECT_EQ(doubles.errorCount, 0);
    EXPECT_EQ(viewer.captureCounter, 3);
    expectBmpOf(readWhole("shot_0000000001.bmp"), viewer.page);
    EXPECT_EQ(readWhole("shot_0000000002.bmp"), readWhole("shot_0000000001.bmp"));
}

TEST_F(CaptureInDir, RefusalsLeaveCounterAndDirectoryAlone)
{
    std::strcpy(viewer.capturePath, "missing/shot");
    captureBmp();
    EXPECT_EQ(doubles.lastError, "Could not open 'missing/shot_0000000001.bmp' to save.");

    viewer.capturePath[0] = '\0';
    captureBmp();
    EXPECT_EQ(doubles.lastError, "Base output name not specified, cannot save.");

    std::memset(viewer.capturePath, 'a', kMaxTextLength);
    captureBmp();
    EXPECT_EQ(doubles.lastError.rfind("Could not open 'aaaa", 0), 0u);

    std::strcpy(viewer.capturePath, "shot");
    freePage(viewer.page);
    viewer.page = nullptr;
    captureBmp();
    EXPECT_EQ(doubles.errorCount, 3);
    EXPECT_EQ(viewer.captureCounter, 1);
    EXPECT_EQ(entries(), 0);

    viewer.page = makePage(4, 4);
    captureBmp();
    EXPECT_TRUE(exists("shot_0000000001.bmp"));
    EXPECT_EQ(viewer.captureCounter, 2);
}

// Whatever name reaches the data or settings file, the capture refuses it and keeps the number.
TEST_F(CaptureInDir, NeverWritesTheDataOrSettingsFile)
{
    const char* name = "shot_0000000001.bmp";
    std::ofstream(kSettingsFileName) << "infile=\"data.bin\" vidmode=\"1\"";
    std::ofstream("data.bin") << "data";
    ASSERT_EQ(mkdir("sub", 0777), 0);
    struct Spelling {
        const char* dataPath;
        const char* linkTarget;  // the capture name made a symbolic link to this, or a hard link
        bool hard;
    };
    const Spelling spellings[] = {
        {"shot_0000000001.bmp", nullptr, false},
        {"sub/../data.bin", "data.bin", false},
        {"data.bin", "data.bin", true},
        {"other.bin", kSettingsFileName, false},
        {"other.bin", kSettingsFileName, true},
    };
    for (const Spelling& spelling : spellings) {
        std::strcpy(viewer.dataPath, spelling.dataPath);
        if (!spelling.linkTarget)
            std::ofstream(name) << "data";
        else if (spelling.hard)
            ASSERT_EQ(link(spelling.linkTarget, name), 0);
        else
            ASSERT_EQ(symlink(spelling.linkTarget, name), 0);
        const char* target = spelling.linkTarget ? spelling.linkTarget : name;
        std::vector<uint8_t> before = readWhole(target);
        doubles.lastError.clear();
        captureBmp();
        EXPECT_EQ(doubles.lastError, "Could not open 'shot_0000000001.bmp' to save.") << spelling.dataPath;
        EXPECT_EQ(viewer.captureCounter, 1);
        EXPECT_EQ(readWhole(target), before) << spelling.dataPath;
        ASSERT_EQ(unlink(name), 0);
    }
}

// A name that leads to something other than a file (a device, a FIFO with a reader) would take
// part of the picture or none: it is refused before a byte is written, and the link stays. The
// null device still takes captures.
TEST_F(CaptureInDir, OnlyFilesAndTheNullDeviceTakeCaptures)
{
    const char* name = "shot_0000000001.bmp";
    ASSERT_EQ(symlink("/dev/full", name), 0);
    captureBmp();
    EXPECT_EQ(doubles.lastError, "Could not open 'shot_0000000001.bmp' to save.");
    EXPECT_EQ(viewer.captureCounter, 1);
    EXPECT_TRUE(exists(name));
    ASSERT_EQ(unlink(name), 0);

    ASSERT_EQ(mkfifo(name, 0600), 0);
    const int reader = open(name, O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    doubles.lastError.clear();
    captureBmp();
    EXPECT_EQ(doubles.lastError, "Could not open 'shot_0000000001.bmp' to save.");
    char byte;
    EXPECT_EQ(read(reader, &byte, 1), 0);
    close(reader);
    ASSERT_EQ(unlink(name), 0);

    ASSERT_EQ(symlink("/dev/null", name), 0);
    doubles.lastError.clear();
    captureBmp();
    EXPECT_EQ(doubles.lastError, "");
    EXPECT_EQ(viewer.captureCounter, 2);
}

// A refused capture creates nothing: a link to the settings or data file that the user moved
// away leaves no empty file in its place.
TEST_F(CaptureInDir, RefusalThroughADanglingLinkCreatesNothing)
{
    std::strcpy(viewer.dataPath, "data.bin");
    for (const char* target : {kSettingsFileName, "data.bin"}) {
        ASSERT_EQ(symlink(target, "shot_0000000001.bmp"), 0);
        doubles.lastError.clear();
        captureBmp();
        EXPECT_EQ(doubles.lastError, "Could not open 'shot_0000000001.bmp' to save.") << target;
        EXPECT_FALSE(exists(target)) << target;
        EXPECT_EQ(viewer.captureCounter, 1);
        ASSERT_EQ(unlink("shot_0000000001.bmp"), 0);
    }
}

void captureUnderSizeLimit()
{
    rlimit limit = {4096, 4096};
    std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &limit);
    captureBmp();
    bool ok = doubles.lastError == "Could not write 'shot_0000000001.bmp' completely." &&
              viewer.captureCounter == 1 && !exists("shot_0000000001.bmp");
    std::_Exit(ok ? 0 : 1);
}

// A file size limit stands in for a full disk; the child reports through its exit code.
TEST_F(CaptureInDir, ShortWriteIsReportedAndRemoved)
{
    freePage(viewer.page);
    viewer.page = makePage(256, 256);
    EXPECT_EXIT(captureUnderSizeLimit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
