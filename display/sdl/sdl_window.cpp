// The Linux backend: window, GL context, events and error box on SDL2.
#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>

#include "app/main_loop.h"
#include "app/viewer_state.h"
#include "display/keyboard.h"
#include "display/message_text.h"
#include "display/platform.h"
#include "display/sdl/icon_pixels.h"
#include "display/sdl/sdl_video.h"
#include "display/sdl/sdl_keys.h"
#include "display/view.h"

struct SdlDisplay {
    bool videoStarted;
    SDL_Window* window;
    SDL_GLContext glContext;
    // True exactly while a window of ours holds the display in full screen.
    bool fullscreenActive;
};

static SdlDisplay display;

// The first display mode of exactly width x height, preferring the requested colour depth.
static bool findDisplayMode(int32_t width, int32_t height, int32_t colourBits, SDL_DisplayMode* found)
{
    bool any = false;
    int count = SDL_GetNumDisplayModes(0);
    for (int i = 0; i < count; ++i) {
        SDL_DisplayMode mode;
        if (SDL_GetDisplayMode(0, i, &mode) != 0 || mode.w != width || mode.h != height)
            continue;
        if (!any || (int32_t)SDL_BITSPERPIXEL(mode.format) == colourBits) {
            *found = mode;
            if ((int32_t)SDL_BITSPERPIXEL(mode.format) == colourBits)
                return true;
        }
        any = true;
    }
    return any;
}

static void setWindowIcon(SDL_Window* window)
{
    SDL_Surface* icon = SDL_CreateRGBSurfaceWithFormatFrom((void*)kIconPixels, kIconSize, kIconSize, 32,
                                                           kIconSize * 4, SDL_PIXELFORMAT_RGBA32);
    if (!icon)
        return;
    SDL_SetWindowIcon(window, icon);
    SDL_FreeSurface(icon);
}

// Drivers that show nothing to anyone. SDL falls back to them when there is no display, and a
// viewer nobody can see or stop with a key is worse than none; they run only when asked for.
static bool isHeadlessDriver(const char* name)
{
    return SDL_strcmp(name, "offscreen") == 0 || SDL_strcmp(name, "dummy") == 0 ||
           SDL_strcmp(name, "evdev") == 0;
}

// The drivers worth trying, as a list for SDL's driver hint: no headless ones, and none whose
// display is not even named, so that their libraries do not complain on stderr.
static void listDisplayDrivers(char* list, size_t capacity)
{
    list[0] = '\0';
    for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
        const char* name = SDL_GetVideoDriver(i);
        if (!name || isHeadlessDriver(name) ||
            (SDL_strcmp(name, "x11") == 0 && !SDL_getenv("DISPLAY")) ||
            (SDL_strcmp(name, "wayland") == 0 && !SDL_getenv("WAYLAND_DISPLAY")))
            continue;
        if (list[0])
            SDL_strlcat(list, ",", capacity);
        SDL_strlcat(list, name, capacity);
    }
}

// Video starts once and stays up until the program ends: a re-created window keeps the display
// connection, which on an X server with no other client would otherwise reset the server.
static bool startVideo()
{
    if (display.videoStarted)
        return true;
    if (!SDL_getenv("SDL_VIDEODRIVER")) {
        char drivers[256];
        listDisplayDrivers(drivers, sizeof drivers);
        if (!drivers[0]) {
            std::fputs("Tessvane: no display to open a window on (DISPLAY is not set).\n", stderr);
            return false;
        }
        SDL_SetHint(SDL_HINT_VIDEODRIVER, drivers);
    }
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "Tessvane: no display to open a window on (%s).\n", SDL_GetError());
        return false;
    }
    display.videoStarted = true;
    SDL_DisableScreenSaver();
    return true;
}

void stopVideo()
{
    destroyViewWindow();
    if (display.videoStarted) {
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        display.videoStarted = false;
    }
}

// A refused mode is no failure: an ordinary window of the same client size, with its cursor,
// and no mode to give back at teardown.
static void leaveFullscreen(int32_t width, int32_t height)
{
    SDL_SetWindowFullscreen(display.window, 0);
    SDL_SetWindowSize(display.window, width, height);
    display.fullscreenActive = false;
}

static bool holdsDisplayMode(int32_t width, int32_t height)
{
    SDL_DisplayMode current;
    int index = SDL_GetWindowDisplayIndex(display.window);
    return (SDL_GetWindowFlags(display.window) & SDL_WINDOW_FULLSCREEN) && index >= 0 &&
           SDL_GetCurrentDisplayMode(index, &current) == 0 && current.w == width && current.h == height;
}

bool createViewWindow(int32_t width, int32_t height, int32_t colourBits, bool fullscreen)
{
    display.fullscreenActive = fullscreen;
    if (!startVideo()) {
        display.fullscreenActive = false;
        return false;
    }
    // Key events still queued for the window that went: its presses were seen already.
    SDL_FlushEvents(SDL_KEYDOWN, SDL_KEYMAPCHANGED);

    // Legacy context for the fixed-function drawing. The sizes are minimums: 16 colour bits
    // ask for 5/6/5 and the platform picks the closest format it has.
    int redBlue = SDL_min(colourBits / 3, 8);
    int green = SDL_min(colourBits - 2 * redBlue, 8);
    bool attributesSet =
        SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY) == 0 &&
        SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1) == 0 && SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16) == 0 &&
        SDL_GL_SetAttribute(SDL_GL_RED_SIZE, redBlue) == 0 && SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, green) == 0 &&
        SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, redBlue) == 0;
    if (!attributesSet) {
        destroyViewWindow();
        return false;
    }

    SDL_DisplayMode mode;
    if (display.fullscreenActive && !findDisplayMode(width, height, colourBits, &mode))
        display.fullscreenActive = false;

    Uint32 flags = SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN;
    if (display.fullscreenActive)
        flags |= SDL_WINDOW_FULLSCREEN;
    display.window = SDL_CreateWindow("Tessvane", 0, 0, width, height, flags);
    if (!display.window) {
        destroyViewWindow();
        return false;
    }
    if (display.fullscreenActive && SDL_SetWindowDisplayMode(display.window, &mode) != 0)
        leaveFullscreen(width, height);
    setWindowIcon(display.window);

    display.glContext = SDL_GL_CreateContext(display.window);
    if (!display.glContext || SDL_GL_MakeCurrent(display.window, display.glContext) != 0) {
        destroyViewWindow();
        return false;
    }

    SDL_ShowWindow(display.window);
    // The mode changes only as the window is shown, and the display may refuse it even then.
    if (display.fullscreenActive && !holdsDisplayMode(width, height))
        leaveFullscreen(width, height);
    if (display.fullscreenActive)
        SDL_ShowCursor(SDL_DISABLE);
    SDL_RaiseWindow(display.window);
    resizeView(width, height);
    initGlState();
    return true;
}

void destroyViewWindow()
{
    if (display.fullscreenActive) {
        // Destroying the full-screen window below gives the desktop mode back.
        SDL_ShowCursor(SDL_ENABLE);
        display.fullscreenActive = false;
    }
    if (display.glContext) {
        SDL_GL_MakeCurrent(display.window, nullptr);
        SDL_GL_DeleteContext(display.glContext);
        display.glContext = nullptr;
    }
    if (display.window) {
        SDL_DestroyWindow(display.window);
        display.window = nullptr;
    }
}

bool takePendingEvent()
{
    SDL_Event event;
    if (!SDL_PollEvent(&event))
        return false;
    switch (event.type) {
    case SDL_QUIT:
        viewer.quitRequested = true;
        break;
    case SDL_KEYDOWN:
    case SDL_KEYUP: {
        // Repeats arrive as further key-downs; they only set down again.
        int code = viewKeyCode(event.key.keysym.sym, event.key.keysym.scancode);
        if (code < 0)
            break;
        if (event.type == SDL_KEYDOWN)
            keyPressed((unsigned)code);
        else
            keyReleased((unsigned)code);
        break;
    }
    case SDL_WINDOWEVENT:
        if (!display.window || event.window.windowID != SDL_GetWindowID(display.window))
            break;
        if (event.window.event == SDL_WINDOWEVENT_CLOSE)
            viewer.quitRequested = true;
        // Every resize, by the user or by the mode switch, ends in a size change.
        else if (event.window.event == SDL_WINDOWEVENT_SIZE_CHANGED && display.glContext)
            resizeView(event.window.data1, event.window.data2);
        break;
    }
    return true;
}

void swapViewBuffers()
{
    if (display.window)
        SDL_GL_SwapWindow(display.window);
}

uint32_t readTickCount()
{
    return SDL_GetTicks();
}

void showError(const char* format, ...)
{
    if (!display.window)
        return;
    char message[kMessageCapacity];
    va_list args;
    va_start(args, format);
    formatMessage(message, format, args);
    va_end(args);
    // X11 draws the box with core fonts; where they are missing the message must not be lost.
    if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_ERROR, "Error", message, display.window) != 0)
        std::fputs(message, stderr);
}

int main()
{
    // Over a file-size limit a write must fail, so the capture can clean up and say so, rather
    // than the signal ending the viewer and leaving a cut-off file.
    std::signal(SIGXFSZ, SIG_IGN);
    SDL_SetMainReady();
    int status = runViewer();
    stopVideo();
    SDL_Quit();
    return status;
}
