// The seam between the shared program and a platform backend (Win32 or SDL2).
#pragma once

#include <cstdint>

// Window and GL context with a client area of width x height. Full screen falls back silently
// to a window of the same client size. On false everything built has been torn down again.
bool createViewWindow(int32_t width, int32_t height, int32_t colourBits, bool fullscreen);

// Tears down whatever exists, restoring the desktop mode after full screen; a second call does nothing.
void destroyViewWindow();

// Takes one pending event and handles it. False when none was waiting. A quit or close
// request sets viewer.quitRequested.
bool takePendingEvent();

void swapViewBuffers();

// Wrapping unsigned 32-bit millisecond count.
uint32_t readTickCount();

// printf-style message in a box captioned "Error", only while a window exists.
void showError(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Fills the 96 display lists from base with bitmap glyphs for codes 32 to 127 in a bold
// fixed-pitch face about 32 pixels high. False when no such font is to be had.
bool buildFontGlyphs(uint32_t base);
