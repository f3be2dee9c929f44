#include "app/main_loop.h"

#include "app/settings.h"
#include "app/viewer_state.h"
#include "controls/controls.h"
#include "display/keyboard.h"
#include "display/platform.h"
#include "display/view.h"
#include "page/page.h"

static bool createWindowForMode()
{
    const VideoMode& mode = viewer.videoModes[viewer.videoModeIndex];
    return createViewWindow(mode.width, mode.height, viewer.colourBits, viewer.fullscreenRequested);
}

// Failure exits tear down too, so a changed display mode never outlives the program.
static int failAndTearDown()
{
    deleteFont();
    destroyViewWindow();
    freePage(viewer.page);
    viewer.page = nullptr;
    return 0;
}

bool initView()
{
    clearKeyboard();
    if (!reloadPage())
        return false;
    buildFont();
    return true;
}

void updateFrame()
{
    // A tick count that goes back means the counter wrapped: end the program normally.
    uint32_t now = readTickCount();
    if (viewer.previousTick > now)
        viewer.quitRequested = true;
    viewer.currentTick = now;
    viewer.previousTick = now;

    if (takeFreshPress(kKeyEscape))
        viewer.quitRequested = true;

    applyViewerControls();
}

int runViewer()
{
    resetViewerState();
    fillVideoModes();
    // Remembered only: the error box needs the window, which comes next.
    bool settingsRead = readSettings();

    if (!createWindowForMode())
        return 0;
    if (!settingsRead) {
        showError("Failed to read '%s', exiting.\n", kSettingsFileName);
        return failAndTearDown();
    }
    if (!initView()) {
        showError("Failed to read '%s', exiting.\n", viewer.dataPath);
        return failAndTearDown();
    }

    while (!viewer.quitRequested) {
        // One event or one frame per pass, never waiting, so a burst of events is worked off first.
        if (!takePendingEvent()) {
            updateFrame();
            renderFrame();
            swapViewBuffers();
        }

        if (viewer.recreateRequested) {
            if (viewer.quitRequested)
                break;
            // Textures and display lists die with the context, so everything is built again.
            deleteFont();
            destroyViewWindow();
            if (!createWindowForMode())
                return failAndTearDown();
            if (!initView())
                return failAndTearDown();
            viewer.recreateRequested = false;
        }
    }

    deleteFont();
    destroyViewWindow();
    freePage(viewer.page);
    viewer.page = nullptr;
    return 1;
}
