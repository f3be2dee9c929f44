// The one program-wide record and the table of display modes.
#pragma once

#include <cstdint>

struct PageImage;

// Settings texts hold at most this many characters plus the terminating zero.
constexpr int kMaxTextLength = 1023;
constexpr int kTextCapacity = kMaxTextLength + 1;

constexpr int kMaxVideoModes = 32;

struct VideoMode {
    int32_t width;
    int32_t height;
};

struct ViewerState {
    char dataPath[kTextCapacity];
    char capturePath[kTextCapacity];
    int32_t pageWidth;
    int32_t pageHeight;
    int32_t showOffset;
    int32_t videoModeIndex;
    int32_t colourBits;
    bool fullscreenRequested;
    VideoMode videoModes[kMaxVideoModes];
    int32_t videoModeCount;
    // 64-bit so that data files of 2 GiB and more can be browsed in full.
    int64_t fileOffset;
    int32_t pixelFormat;
    float stepFraction;
    int32_t advanceDelay;
    bool autoAdvance;
    uint32_t nextAdvanceTick;
    uint32_t currentTick;
    uint32_t previousTick;
    PageImage* page;
    uint32_t viewTexture;
    int32_t captureCounter;
    bool quitRequested;
    bool recreateRequested;
};

extern ViewerState viewer;

// Puts every field back to its start-up value. Does not release a page: the caller owns that.
void resetViewerState();

// Appends the seven standard modes after those already present.
void fillVideoModes();
