// The per-frame key handling: paging arithmetic, the N/B/automatic chain, the fresh-press rule
// and the clamps of the step fraction and delay.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/viewer_state.h"
#include "controls/controls.h"
#include "display/keyboard.h"
#include "page/page.h"
#include "tests/support/doubles.h"
#include "tests/support/test_support.h"

namespace {

class ControlsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetForTest();
        ASSERT_TRUE(enterScratchDir(&scratch, "tessvane-controls"));
    }
    void TearDown() override
    {
        resetForTest();
        EXPECT_TRUE(leaveScratchDir(&scratch));
    }

    // One frame with the key held down from before (or pressed just now).
    static void frameWithKey(int key)
    {
        keyPressed(static_cast<unsigned>(key));
        applyViewerControls();
    }

    static void press(int key)
    {
        frameWithKey(key);
        keyReleased(static_cast<unsigned>(key));
    }

    // A file of size bytes in the scratch directory; its name is relative to it.
    std::string writeDataFile(const char* name, size_t size)
    {
        std::vector<unsigned char> bytes(size, 0x5a);
        EXPECT_TRUE(writeTestFile(name, bytes.data(), size));
        return name;
    }

    ScratchDir scratch;
};

TEST_F(ControlsTest, ForwardAndBackwardStepsTruncateTowardZero)
{
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 20000);
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 40000);
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, 19999);
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, -1);  // the page load, not the control, wraps it
    EXPECT_EQ(doubles.reloadCalls, 4);

    viewer.fileOffset = 20000;
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, 0) << "from exactly one step the difference truncates to 0";

    viewer.fileOffset = 0;
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, -20000);
}

TEST_F(ControlsTest, StepDependsOnFormatAndFraction)
{
    viewer.pixelFormat = 0;
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 5000);
    viewer.pixelFormat = 2;
    viewer.stepFraction = 1.0f;
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 5000 + 75000);
}

TEST_F(ControlsTest, OffsetsBeyondFourGigabytesStepExactly)
{
    viewer.fileOffset = 6000000000LL;
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 6000020000LL);
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, 5999999999LL);
}

// Past the 64-bit range the step saturates instead of converting out of range.
TEST_F(ControlsTest, StepsNearThe64BitLimitSaturate)
{
    viewer.fileOffset = INT64_MAX - 100;
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, INT64_MAX);
    viewer.fileOffset = INT64_MIN + 100;
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, INT64_MIN);
}

TEST_F(ControlsTest, FreshPressActsOnceUntilReleased)
{
    frameWithKey(kKeyN);
    frameWithKey(kKeyN);  // a repeated key-down while held
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 20000);
    keyReleased(kKeyN);
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 40000);

    // Codes outside the table are ignored rather than written past it.
    keyPressed(256);
    keyPressed(0xFFFFFFFFu);
    keyReleased(1000);
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 40000);
}

TEST_F(ControlsTest, HeldBackStepsEveryFrameAndWrapsThroughThePageLoad)
{
    std::string path = writeDataFile("tessvane_controls_wrap.bin", 300000);
    std::snprintf(viewer.dataPath, sizeof viewer.dataPath, "%s", path.c_str());
    doubles.reloadLoadsPage = true;
    viewer.fileOffset = 100000;

    keyPressed(kKeyB);
    const int64_t expected[] = {79999, 59998, 39997, 19996};
    for (int64_t offset : expected) {
        applyViewerControls();
        EXPECT_EQ(viewer.fileOffset, offset);
        EXPECT_FALSE(keyboard.handled[kKeyB]);
    }
    applyViewerControls();  // 19996 - 20000.0003 = -4: wraps to 100 bytes before the end
    EXPECT_EQ(viewer.fileOffset, 300000 - 100);
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 300000 - 100 - 20001);
    ASSERT_NE(viewer.page, nullptr);
    keyReleased(kKeyB);
    std::remove(path.c_str());
}

TEST_F(ControlsTest, ForwardThenBackFromZeroDoesNotWrap)
{
    std::string path = writeDataFile("tessvane_controls_nb.bin", 100000);
    std::snprintf(viewer.dataPath, sizeof viewer.dataPath, "%s", path.c_str());
    doubles.reloadLoadsPage = true;
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 20000);
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, 0);
    std::remove(path.c_str());
}

TEST_F(ControlsTest, OnlyOneOfForwardHeldBackAndAutomaticRunsPerFrame)
{
    viewer.autoAdvance = true;
    viewer.currentTick = 1000;

    keyPressed(kKeyN);
    keyPressed(kKeyB);
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 20000) << "N suppresses B and the automatic step";
    EXPECT_EQ(viewer.nextAdvanceTick, 0u);

    applyViewerControls();  // N already handled, B still held
    EXPECT_EQ(viewer.fileOffset, 0);
    EXPECT_EQ(viewer.nextAdvanceTick, 0u) << "B held suppresses the automatic step";
    keyReleased(kKeyN);
    keyReleased(kKeyB);

    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 20000);
    EXPECT_EQ(viewer.nextAdvanceTick, 1200u);
    EXPECT_EQ(doubles.reloadCalls, 3);
}

TEST_F(ControlsTest, AutomaticAdvanceWaitsMoreThanTheDelay)
{
    press(kKeyA);
    EXPECT_TRUE(viewer.autoAdvance);

    viewer.currentTick = 5000;  // the stored tick lies in the past: step at once
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 20000);
    EXPECT_EQ(viewer.nextAdvanceTick, 5200u);

    viewer.currentTick = 5200;
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 20000) << "a step needs a tick after the stored one";
    viewer.currentTick = 5201;
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 40000);
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 40000) << "at most one step per frame";

    // Switching off and on leaves the stored tick alone.
    press(kKeyA);
    press(kKeyA);
    EXPECT_EQ(viewer.nextAdvanceTick, 5401u);

    viewer.advanceDelay = 0;
    viewer.currentTick = 5402;
    applyViewerControls();
    EXPECT_EQ(viewer.nextAdvanceTick, 5402u);
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 60000) << "delay 0 still needs the tick to move on";
    viewer.currentTick = 5403;
    applyViewerControls();
    EXPECT_EQ(viewer.fileOffset, 80000);
}

TEST_F(ControlsTest, AutomaticAdvanceNextTickWrapsModulo32Bits)
{
    viewer.autoAdvance = true;
    viewer.currentTick = 0xFFFFFFF0u;
    applyViewerControls();
    EXPECT_EQ(viewer.nextAdvanceTick, 0xB8u);
}

TEST_F(ControlsTest, FormatCyclesThroughAllFourAndReloads)
{
    const int32_t expected[] = {0, 1, 2, 3};
    for (int32_t format : expected) {
        press(kKeyP);
        EXPECT_EQ(viewer.pixelFormat, format);
    }
    EXPECT_EQ(doubles.reloadCalls, 4);
}

TEST_F(ControlsTest, StepFractionClampsWithFloatRounding)
{
    press(kKeyLeft);
    EXPECT_FLOAT_EQ(viewer.stepFraction, 0.1f);
    press(kKeyLeft);
    EXPECT_EQ(viewer.stepFraction, 0.1f);

    for (int i = 0; i < 9; ++i)
        press(kKeyRight);
    EXPECT_EQ(viewer.stepFraction, 1.0f);
    press(kKeyRight);
    EXPECT_EQ(viewer.stepFraction, 1.0f);

    press(kKeyLeft);
    EXPECT_EQ(viewer.stepFraction, static_cast<float>(1.0 - static_cast<double>(0.1f)));

    viewer.fileOffset = 0;
    press(kKeyN);
    EXPECT_EQ(viewer.fileOffset, 89999);
    viewer.fileOffset = 100000;
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, 10000);
    viewer.fileOffset = 90000;
    press(kKeyB);
    EXPECT_EQ(viewer.fileOffset, 0);
    EXPECT_EQ(doubles.reloadCalls, 3) << "changing the fraction alone reloads nothing";
}

TEST_F(ControlsTest, AdvanceDelayClamps)
{
    viewer.advanceDelay = 25;
    press(kKeyUp);
    EXPECT_EQ(viewer.advanceDelay, 0);
    press(kKeyUp);
    EXPECT_EQ(viewer.advanceDelay, 0);
    viewer.advanceDelay = 975;
    press(kKeyDown);
    EXPECT_EQ(viewer.advanceDelay, 1000);
    press(kKeyDown);
    EXPECT_EQ(viewer.advanceDelay, 1000);
}

TEST_F(ControlsTest, FullScreenKeyTogglesAndAsksForRecreation)
{
    press(kKeyF);
    EXPECT_TRUE(viewer.fullscreenRequested);
    EXPECT_TRUE(viewer.recreateRequested);
    viewer.recreateRequested = false;
    press(kKeyF);
    EXPECT_FALSE(viewer.fullscreenRequested);
    EXPECT_TRUE(viewer.recreateRequested);
}

TEST_F(ControlsTest, CaptureKeyReachesTheCapture)
{
    press(kKeyD);
    EXPECT_EQ(doubles.errorCount, 0) << "no page: the capture gives up silently";

    viewer.page = makeTestPage(0, 0, nullptr);
    press(kKeyD);
    EXPECT_EQ(doubles.errorCount, 1);
    EXPECT_EQ(doubles.lastError, "Base output name not specified, cannot save.");
}

}  // namespace
