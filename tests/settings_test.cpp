#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/settings.h"
#include "app/viewer_state.h"
#include "tests/support/doubles.h"
#include "tests/support/test_support.h"

namespace {

std::string lookUp(const std::string& text, const char* key, size_t capacity = kTextCapacity)
{
    std::string value(capacity + 8, '#');  // room past capacity shows any overrun
    findSettingValue(text.c_str(), key, value.data(), capacity);
    EXPECT_EQ(value.substr(capacity), std::string(8, '#'));
    return value.c_str();
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetForTest();
        ASSERT_TRUE(enterScratchDir(&scratch, "tessvane-settings"));
    }
    void TearDown() override { EXPECT_TRUE(leaveScratchDir(&scratch)); }
    static void write(const std::string& bytes)
    {
        ASSERT_TRUE(writeTestFile(kSettingsFileName, bytes.data(), bytes.size()));
    }
    ScratchDir scratch;
};

TEST(FindSettingValue, LookupRules)
{
    EXPECT_EQ(lookUp("myinfile=\"a.bin\" infile=\"b.bin\"", "infile"), "a.bin");
    EXPECT_EQ(lookUp("infile infile=\"z\" infile=\"y\"", "infile"), "z");
    EXPECT_EQ(lookUp("infileinfile=\"q\"", "infile"), "q");
    EXPECT_EQ(lookUp("width = \"64\" height=\"9\"", "width"), "");
    EXPECT_EQ(lookUp("INFILE=\"a\"", "infile"), "");
    EXPECT_EQ(lookUp("outpath=\"a\"b\"", "outpath"), "a");
    EXPECT_EQ(lookUp("# note\noutpath=\"two\nlines", "outpath"), "two\nlines");
    EXPECT_EQ(lookUp("height=\"\" height=\"5\"", "height"), "");
    EXPECT_EQ(lookUp("", "infile"), "");
}

TEST(FindSettingValue, LongValuesAreCutToCapacity)
{
    for (size_t length : {1022, 1023, 1024, 5000}) {
        std::string value;
        for (size_t i = 0; i < length; ++i)
            value += static_cast<char>('a' + i % 26);
        std::string text = "infile=\"" + value + "\" vidmode=\"1\"";
        EXPECT_EQ(lookUp(text, "infile"), value.substr(0, 1023)) << length;
        EXPECT_EQ(lookUp(text, "infile", 4), value.substr(0, 3)) << length;
        EXPECT_EQ(lookUp(text, "infile", 1), "") << length;
    }
}

TEST(ParseSettingInt, DecimalWithWrapping)
{
    EXPECT_EQ(parseSettingInt("42"), 42);
    EXPECT_EQ(parseSettingInt(" \t\n\v\f\r7"), 7);
    EXPECT_EQ(parseSettingInt("+5"), 5);
    EXPECT_EQ(parseSettingInt("-3"), -3);
    EXPECT_EQ(parseSettingInt("12abc"), 12);
    EXPECT_EQ(parseSettingInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(parseSettingInt("2147483648"), INT32_MIN);
    EXPECT_EQ(parseSettingInt("4294967297"), 1);
    EXPECT_EQ(parseSettingInt("-4294967295"), 1);
    // 10^12 = 232 * 2^32 + 3567587328, which is -727379968 as a signed 32-bit value.
    EXPECT_EQ(parseSettingInt("1000000000000"), -727379968);
    for (const char* none : {"", "yes", "+", "-", "+-5", "- 5", "x12"})
        EXPECT_EQ(parseSettingInt(none), 0) << none;
}

TEST_F(SettingsFile, AllKeysAndDefaults)
{
    write("# viewer\ninfile=\"data.bin\" vidmode=\"3\"\n"
          "showoffset=\"2\" width=\"300\" height=\"64\""
          " outpath=\"shots/x\"\n");
    ASSERT_TRUE(readSettings());
    EXPECT_STREQ(viewer.dataPath, "data.bin");
    EXPECT_EQ(viewer.videoModeIndex, 3);
    EXPECT_EQ(viewer.showOffset, 2);
    EXPECT_EQ(viewer.pageWidth, 300);
    EXPECT_EQ(viewer.pageHeight, 64);
    EXPECT_STREQ(viewer.capturePath, "shots/x");

    // Empty, spaced or unreadable optional values fall back to the defaults or convert to 0.
    resetForTest();
    viewer.pageWidth = viewer.pageHeight = viewer.showOffset = 5;
    write("infile=\"d\" vidmode=\"0\" width = \"64\" height=\"\" showoffset=\"yes\" outpath=\"\"");
    ASSERT_TRUE(readSettings());
    EXPECT_EQ(viewer.pageWidth, 256);
    EXPECT_EQ(viewer.pageHeight, 256);
    EXPECT_EQ(viewer.showOffset, 0);
    EXPECT_STREQ(viewer.capturePath, "");
}

TEST_F(SettingsFile, VideoModeIsClamped)
{
    const struct { const char* text; int32_t index; } cases[] = {
        {"99", 6}, {"6", 6}, {"7", 6}, {"5", 5}, {"0", 0},
        {"-1", 0}, {"-3", 0}, {"x", 0}, {"4294967297", 1},
    };
    for (const auto& c : cases) {
        write(std::string("infile=\"a\" vidmode=\"") + c.text + "\"");
        ASSERT_TRUE(readSettings()) << c.text;
        EXPECT_EQ(viewer.videoModeIndex, c.index) << c.text;
    }
}

TEST_F(SettingsFile, RequiredKeysFailAndKeepWhatWasSet)
{
    EXPECT_FALSE(readSettings());  // no file at all

    for (const char* text :
         {"vidmode=\"2\"", "infile=\"\" vidmode=\"2\"", "infile vidmode=\"2\""}) {
        write(text);
        EXPECT_FALSE(readSettings()) << text;
        EXPECT_STREQ(viewer.dataPath, "") << text;
        EXPECT_EQ(viewer.videoModeIndex, 1) << text;
    }
    for (const char* text :
         {"infile=\"kept.bin\" width=\"9\"", "infile=\"kept.bin\" vidmode=\"\""}) {
        resetForTest();
        write(text);
        EXPECT_FALSE(readSettings()) << text;
        EXPECT_STREQ(viewer.dataPath, "kept.bin") << text;
        EXPECT_EQ(viewer.pageWidth, 256) << text;
    }
}

TEST_F(SettingsFile, ZeroByteEndsTheText)
{
    write(std::string("infile=\"a") + '\0' + "b\" vidmode=\"2\"");
    EXPECT_FALSE(readSettings());
    EXPECT_STREQ(viewer.dataPath, "a");

    write(std::string("infile=\"a\" vidmode=\"2\"") + '\0' + "width=\"64\"");
    ASSERT_TRUE(readSettings());
    EXPECT_EQ(viewer.pageWidth, 256);
}

// A FIFO or a device in place of the file is read at once as whatever it holds: here nothing.
TEST_F(SettingsFile, UnreadableKindsFailWithoutWaiting)
{
    ASSERT_EQ(mkfifo(kSettingsFileName, 0600), 0);
    EXPECT_FALSE(readSettings());
    ASSERT_EQ(unlink(kSettingsFileName), 0);
    ASSERT_EQ(symlink("/dev/null", kSettingsFileName), 0);
    EXPECT_FALSE(readSettings());
}

TEST_F(SettingsFile, CrLfAndOversizedValues)
{
    std::string longPath(5000, 'p');
    write("infile=\"" + longPath + "\"\r\nvidmode=\"2\"\r\nwidth=\"64\"\r\noutpath=\"cap\"\r\n");
    ASSERT_TRUE(readSettings());
    EXPECT_EQ(std::string(viewer.dataPath), longPath.substr(0, kMaxTextLength));
    EXPECT_EQ(viewer.videoModeIndex, 2);
    EXPECT_EQ(viewer.pageWidth, 64);
    EXPECT_STREQ(viewer.capturePath, "cap");
}

}  // namespace
