#include "controls/controls.h"

#include <cstdint>

#include "app/viewer_state.h"
#include "capture/capture.h"
#include "display/keyboard.h"
#include "display/view.h"
#include "page/page.h"

constexpr float kStepFractionDelta = 0.1f;
constexpr float kMinStepFraction = 0.1f;
constexpr float kMaxStepFraction = 1.0f;
constexpr int32_t kAdvanceDelayDelta = 25;
constexpr int32_t kMaxAdvanceDelay = 1000;

// The step is fractional; the sum is taken in double and truncated toward zero, so a backward
// step can land one byte further than a forward step moved (40000 - 20000.0003 -> 19999).
static void stepOffset(double direction)
{
    double step = static_cast<double>(kPageSize[viewer.pixelFormat]) *
                  static_cast<double>(viewer.stepFraction) * 0.5;
    double offset = static_cast<double>(viewer.fileOffset) + direction * step;
    // Converting a double outside the 64-bit range is undefined; 2^63 itself is already outside.
    constexpr double kLimit = 9223372036854775808.0;
    if (offset >= kLimit)
        viewer.fileOffset = INT64_MAX;
    else if (offset <= -kLimit)
        viewer.fileOffset = INT64_MIN;
    else
        viewer.fileOffset = static_cast<int64_t>(offset);
    reloadPage();
}

// Sum in double, compared unrounded, stored as float: 1.0 - 0.1f gives 0.89999998.
static void changeStepFraction(double delta)
{
    double fraction = static_cast<double>(viewer.stepFraction) + delta;
    if (fraction < static_cast<double>(kMinStepFraction))
        fraction = kMinStepFraction;
    if (fraction > static_cast<double>(kMaxStepFraction))
        fraction = kMaxStepFraction;
    viewer.stepFraction = static_cast<float>(fraction);
}

void applyViewerControls()
{
    if (takeFreshPress(kKeyF)) {
        viewer.fullscreenRequested = !viewer.fullscreenRequested;
        viewer.recreateRequested = true;
    }

    // One of forward, held-back or automatic per frame, in that order of precedence.
    if (takeFreshPress(kKeyN)) {
        stepOffset(1.0);
    } else if (keyboard.down[kKeyB]) {
        stepOffset(-1.0);
    } else if (viewer.autoAdvance && viewer.nextAdvanceTick < viewer.currentTick) {
        stepOffset(1.0);
        viewer.nextAdvanceTick = viewer.currentTick + static_cast<uint32_t>(viewer.advanceDelay);
    }

    if (takeFreshPress(kKeyA))
        viewer.autoAdvance = !viewer.autoAdvance;

    if (takeFreshPress(kKeyP)) {
        viewer.pixelFormat = (viewer.pixelFormat + 1) % kPixelFormatCount;
        reloadPage();
    }

    if (takeFreshPress(kKeyD))
        captureBmp();

    if (takeFreshPress(kKeyLeft))
        changeStepFraction(-static_cast<double>(kStepFractionDelta));
    if (takeFreshPress(kKeyRight))
        changeStepFraction(static_cast<double>(kStepFractionDelta));

    if (takeFreshPress(kKeyUp)) {
        viewer.advanceDelay -= kAdvanceDelayDelta;
        if (viewer.advanceDelay < 0)
            viewer.advanceDelay = 0;
    }
    if (takeFreshPress(kKeyDown)) {
        viewer.advanceDelay += kAdvanceDelayDelta;
        if (viewer.advanceDelay > kMaxAdvanceDelay)
            viewer.advanceDelay = kMaxAdvanceDelay;
    }
}
