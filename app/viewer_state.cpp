#include "app/viewer_state.h"

#include <cstring>

ViewerState viewer;

void resetViewerState()
{
    std::memset(&viewer, 0, sizeof viewer);
    viewer.pageWidth = 256;
    viewer.pageHeight = 256;
    viewer.videoModeIndex = 1;
    viewer.colourBits = 16;
    viewer.pixelFormat = 3;
    viewer.stepFraction = 0.2f;
    viewer.advanceDelay = 200;
    viewer.captureCounter = 1;
}

void fillVideoModes()
{
    static const VideoMode kStandardModes[] = {
        {512, 384}, {640, 480}, {800, 600}, {1024, 768}, {1280, 960}, {1280, 1024}, {1600, 1200},
    };
    for (const VideoMode& mode : kStandardModes) {
        if (viewer.videoModeCount >= kMaxVideoModes)
            return;
        viewer.videoModes[viewer.videoModeCount++] = mode;
    }
}
