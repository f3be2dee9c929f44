// GL drawing shared by both backends: page texture, frame, overlay font, projection.
#pragma once

#include <cstdint>

constexpr uint32_t kViewTexture = 3000;

// Replaces viewer.page with a fresh load and uploads it. False when no page was loaded.
bool reloadPage();

void renderFrame();
void drawPageQuad();
void printOverlay(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

void buildFont();
void deleteFont();

void resizeView(int32_t width, int32_t height);
void setPerspective(double fovY, double aspect, double zNear, double zFar);
bool initGlState();
