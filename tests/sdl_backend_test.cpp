// The SDL backend against a private Xvfb. The backend's own main calls runViewer(), which this
// file provides in place of the viewer's, so the real main and window code are what is tested.
#include <gtest/gtest.h>

#include <SDL.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/viewer_state.h"
#include "display/gl_headers.h"
#include "display/keyboard.h"
#include "display/platform.h"
#include "display/sdl/sdl_keys.h"
#include "display/sdl/sdl_video.h"
#include "tests/support/test_support.h"

constexpr int kScreenWidth = 1024;
constexpr int kScreenHeight = 768;

TEST(SdlKeys, MapsToWindowsVirtualKeys)
{
    EXPECT_EQ(viewKeyCode(SDLK_n, SDL_SCANCODE_N), 78);
    EXPECT_EQ(viewKeyCode(SDLK_a, SDL_SCANCODE_Q), 65);  // AZERTY: the letter, not the place
    EXPECT_EQ(viewKeyCode(SDLK_9, SDL_SCANCODE_9), 57);
    EXPECT_EQ(viewKeyCode(SDLK_ESCAPE, SDL_SCANCODE_ESCAPE), 27);
    EXPECT_EQ(viewKeyCode(SDLK_RETURN, SDL_SCANCODE_RETURN), 13);
    EXPECT_EQ(viewKeyCode(SDLK_SPACE, SDL_SCANCODE_SPACE), 32);
    EXPECT_EQ(viewKeyCode(SDLK_LEFT, SDL_SCANCODE_LEFT), 37);
    EXPECT_EQ(viewKeyCode(SDLK_DOWN, SDL_SCANCODE_DOWN), 40);
    // Cyrillic letters fall back to the key's place; Latin punctuation does not.
    EXPECT_EQ(viewKeyCode(0x0442, SDL_SCANCODE_N), 78);
    EXPECT_EQ(viewKeyCode(SDLK_COMMA, SDL_SCANCODE_M), -1);
    EXPECT_EQ(viewKeyCode(0x00F6, SDL_SCANCODE_SEMICOLON), -1);
    EXPECT_EQ(viewKeyCode(SDLK_F1, SDL_SCANCODE_F1), -1);
}

struct SdlBackend : testing::Test {
    void SetUp() override
    {
        resetViewerState();
        clearKeyboard();
    }
    void TearDown() override { destroyViewWindow(); }

    static void drain()
    {
        while (takePendingEvent()) {
        }
    }
    static void push(SDL_Event event) { ASSERT_EQ(SDL_PushEvent(&event), 1); }
    static SDL_Event keyEvent(Uint32 type, SDL_Keycode sym, bool repeat = false)
    {
        SDL_Event event = {};
        event.type = type;
        event.key.keysym.sym = sym;
        event.key.repeat = repeat;
        return event;
    }
    static SDL_Event windowEvent(Uint8 kind, Uint32 windowId, int data1 = 0, int data2 = 0)
    {
        SDL_Event event = {};
        event.type = SDL_WINDOWEVENT;
        event.window.event = kind;
        event.window.windowID = windowId;
        event.window.data1 = data1;
        event.window.data2 = data2;
        return event;
    }
};

TEST_F(SdlBackend, WindowHasTheClientSizeAndGlState)
{
    ASSERT_TRUE(createViewWindow(640, 480, 16, false));
    SDL_Window* window = SDL_GL_GetCurrentWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_STREQ(SDL_GetWindowTitle(window), "Tessvane");
    int width = 0, height = 0;
    SDL_GetWindowSize(window, &width, &height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_FALSE(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN);

    GLint viewport[4], depthBits, red, green, blue;
    GLboolean doubleBuffer;
    glGetIntegerv(GL_VIEWPORT, viewport);
    glGetIntegerv(GL_DEPTH_BITS, &depthBits);
    glGetIntegerv(GL_RED_BITS, &red);
    glGetIntegerv(GL_GREEN_BITS, &green);
    glGetIntegerv(GL_BLUE_BITS, &blue);
    glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffer);
    EXPECT_EQ(viewport[2], 640);
    EXPECT_EQ(viewport[3], 480);
    // The perspective projection is in place, at the window's aspect ratio.
    GLfloat projection[16];
    glGetFloatv(GL_PROJECTION_MATRIX, projection);
    EXPECT_FLOAT_EQ(projection[11], -1.0f);
    EXPECT_NEAR(projection[5] / projection[0], 640.0 / 480.0, 1e-5);
    EXPECT_GE(depthBits, 16);
    EXPECT_TRUE(red >= 5 && green >= 6 && blue >= 5);
    EXPECT_TRUE(doubleBuffer);
    EXPECT_TRUE(glIsEnabled(GL_DEPTH_TEST));
    EXPECT_TRUE(glIsEnabled(GL_TEXTURE_2D));
}

TEST_F(SdlBackend, FullScreenOnlyAtAModeTheDisplayOffers)
{
    // Xvfb offers its screen size alone, so 640 x 480 falls back to a window of that size.
    ASSERT_TRUE(createViewWindow(640, 480, 16, true));
    SDL_Window* window = SDL_GL_GetCurrentWindow();
    int width = 0, height = 0;
    SDL_GetWindowSize(window, &width, &height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_FALSE(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN);
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_ENABLE);
    destroyViewWindow();

    ASSERT_TRUE(createViewWindow(kScreenWidth, kScreenHeight, 16, true));
    EXPECT_TRUE(SDL_GetWindowFlags(SDL_GL_GetCurrentWindow()) & SDL_WINDOW_FULLSCREEN);
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_DISABLE);
    destroyViewWindow();
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_ENABLE);
}

// Video, and with it the display connection, lasts from the first window to the end.
TEST_F(SdlBackend, TeardownIsRepeatableAndVideoAndClockSurviveRecreation)
{
    ASSERT_TRUE(createViewWindow(320, 240, 16, false));
    SDL_Delay(20);
    uint32_t before = readTickCount();
    destroyViewWindow();
    destroyViewWindow();
    EXPECT_NE(SDL_WasInit(SDL_INIT_VIDEO), 0u);
    ASSERT_TRUE(createViewWindow(320, 240, 16, false));
    // A clock that restarted would read as a wrap and end the viewer.
    EXPECT_GE(readTickCount(), before);
}

TEST_F(SdlBackend, FailedCreationLeavesNothingBehind)
{
    stopVideo();
    const char* saved = std::getenv("SDL_VIDEODRIVER");
    setenv("SDL_VIDEODRIVER", "no-such-driver", 1);
    EXPECT_FALSE(createViewWindow(640, 480, 16, true));
    if (saved)
        setenv("SDL_VIDEODRIVER", saved, 1);
    else
        unsetenv("SDL_VIDEODRIVER");
    EXPECT_EQ(SDL_WasInit(SDL_INIT_VIDEO), 0u);
    EXPECT_EQ(SDL_ShowCursor(SDL_QUERY), SDL_ENABLE);
    // Without a window the message is dropped; a box here would block the test.
    showError("Failed to read '%s', exiting.\n", "tessvane.cfg");
    destroyViewWindow();
}

TEST_F(SdlBackend, KeyEventsKeepTheFreshPressRule)
{
    ASSERT_TRUE(createViewWindow(320, 240, 16, false));
    drain();
    push(keyEvent(SDL_KEYDOWN, SDLK_n));
    EXPECT_TRUE(takePendingEvent());
    EXPECT_TRUE(takeFreshPress(kKeyN));
    push(keyEvent(SDL_KEYDOWN, SDLK_n, true));
    drain();
    EXPECT_TRUE(keyboard.down[kKeyN]);
    EXPECT_FALSE(takeFreshPress(kKeyN));
    push(keyEvent(SDL_KEYUP, SDLK_n));
    push(keyEvent(SDL_KEYDOWN, SDLK_n));
    drain();
    EXPECT_TRUE(takeFreshPress(kKeyN));

    clearKeyboard();
    push(keyEvent(SDL_KEYDOWN, SDLK_F1));
    push(keyEvent(SDL_KEYDOWN, SDLK_LSHIFT));
    drain();
    for (int code = 0; code < kKeyCount; ++code)
        EXPECT_FALSE(keyboard.down[code]) << code;
    EXPECT_FALSE(takePendingEvent());
}

TEST_F(SdlBackend, CloseAndQuitRequestQuitOnlyForThisWindow)
{
    ASSERT_TRUE(createViewWindow(320, 240, 16, false));
    Uint32 id = SDL_GetWindowID(SDL_GL_GetCurrentWindow());
    drain();
    push(windowEvent(SDL_WINDOWEVENT_CLOSE, id + 1));
    drain();
    EXPECT_FALSE(viewer.quitRequested);
    push(windowEvent(SDL_WINDOWEVENT_CLOSE, id));
    drain();
    EXPECT_TRUE(viewer.quitRequested);

    viewer.quitRequested = false;
    SDL_Event quit = {};
    quit.type = SDL_QUIT;
    push(quit);
    drain();
    EXPECT_TRUE(viewer.quitRequested);
}

TEST_F(SdlBackend, SizeChangesReachTheViewport)
{
    ASSERT_TRUE(createViewWindow(320, 240, 16, false));
    Uint32 id = SDL_GetWindowID(SDL_GL_GetCurrentWindow());
    drain();
    GLint viewport[4];
    push(windowEvent(SDL_WINDOWEVENT_SIZE_CHANGED, id, 200, 100));
    drain();
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 200);
    EXPECT_EQ(viewport[3], 100);
    push(windowEvent(SDL_WINDOWEVENT_SIZE_CHANGED, id, 300, 0));
    drain();
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 300);
    EXPECT_EQ(viewport[3], 1);
}

struct Lit {
    int left = 1 << 30, bottom = 1 << 30, right = -1, top = -1;
    int bottomRowCount = 0, topRowCount = 0;
};

// Draws text through the glyph lists with its origin at (x, baseline) in window pixels and
// returns where it lit the cleared back buffer.
static Lit drawText(GLuint base, const char* text, int x, int baseline, float* rasterXAfter = nullptr)
{
    static unsigned char red[640 * 480];
    glViewport(0, 0, 640, 480);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, 640, 0, 480, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_DEPTH_TEST);
    glClear(GL_COLOR_BUFFER_BIT);
    glColor3f(1, 1, 1);
    glRasterPos2i(x, baseline);
    glListBase(base - 32);
    glCallLists((GLsizei)std::strlen(text), GL_UNSIGNED_BYTE, text);
    if (rasterXAfter) {
        GLfloat position[4];
        glGetFloatv(GL_CURRENT_RASTER_POSITION, position);
        *rasterXAfter = position[0];
    }
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, 640, 480, GL_RED, GL_UNSIGNED_BYTE, red);
    Lit lit;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            if (red[y * 640 + x] > 128) {
                lit.left = std::min(lit.left, x);
                lit.right = std::max(lit.right, x);
                lit.bottom = std::min(lit.bottom, y);
                lit.top = std::max(lit.top, y);
            }
    for (int x = 0; lit.top >= 0 && x < 640; ++x) {
        lit.bottomRowCount += red[lit.bottom * 640 + x] > 128;
        lit.topRowCount += red[lit.top * 640 + x] > 128;
    }
    return lit;
}

struct SdlFont : SdlBackend {
    GLuint base = 0;
    void SetUp() override
    {
        SdlBackend::SetUp();
        ASSERT_TRUE(createViewWindow(640, 480, 16, false));
        base = glGenLists(96);
        ASSERT_NE(base, 0u);
    }
};

TEST_F(SdlFont, GlyphsSitOnTheBaselineTheRightWayUp)
{
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    ASSERT_TRUE(buildFontGlyphs(base));
    GLint alignment = 0;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    EXPECT_EQ(alignment, 4);
    EXPECT_TRUE(glIsList(base + 95));

    Lit zero = drawText(base, "0", 100, 200);
    ASSERT_GE(zero.top, 0);
    int height = zero.top - zero.bottom + 1;
    EXPECT_GE(height, 16);
    EXPECT_LE(height, 32);
    EXPECT_LE(std::abs(zero.bottom - 200), 1);
    EXPECT_GE(zero.left, 100);

    // Ascender to descender fills a cell of about 32 pixels, as the GDI font of height 32 does.
    Lit cell = drawText(base, "(|)gjW_", 100, 200);
    EXPECT_GE(cell.top - cell.bottom + 1, 24);
    EXPECT_LE(cell.top - cell.bottom + 1, 32);

    Lit minus = drawText(base, "-", 100, 200);
    EXPECT_GT(minus.bottom, 200 + height / 4);
    EXPECT_LT(minus.top, 200 + height * 3 / 4);

    // Rows upside down would put the bar of L at the top and that of T at the bottom.
    Lit ell = drawText(base, "L", 100, 200);
    EXPECT_GT(ell.bottomRowCount, 2 * ell.topRowCount);
    Lit tee = drawText(base, "T", 100, 200);
    EXPECT_GT(tee.topRowCount, 2 * tee.bottomRowCount);
}

TEST_F(SdlFont, EveryGlyphAdvancesByOneCell)
{
    ASSERT_TRUE(buildFontGlyphs(base));
    float cell = 0;
    drawText(base, "0", 100, 200, &cell);
    cell -= 100;
    EXPECT_GE(cell, 10);
    EXPECT_LE(cell, 32);
    for (const char* glyph : {"1", "W", "i", "-", " "}) {
        float after = 0;
        drawText(base, glyph, 100, 200, &after);
        EXPECT_FLOAT_EQ(after - 100, cell) << glyph;
    }
    Lit blank = drawText(base, " ", 100, 200);
    EXPECT_LT(blank.top, 0);
}

TEST_F(SdlFont, NoFontMeansNoGlyphs)
{
    char config[] = "/tmp/tessvane-fonts-XXXXXX";
    int fd = mkstemp(config);
    ASSERT_GE(fd, 0);
    close(fd);
    const char kEmpty[] = "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n";
    ASSERT_TRUE(writeTestFile(config, kEmpty, sizeof kEmpty - 1));
    const char* saved = std::getenv("FONTCONFIG_FILE");
    setenv("FONTCONFIG_FILE", config, 1);
    EXPECT_FALSE(buildFontGlyphs(base));
    if (saved)
        setenv("FONTCONFIG_FILE", saved, 1);
    else
        unsetenv("FONTCONFIG_FILE");
    unlink(config);
    EXPECT_TRUE(buildFontGlyphs(base));
}

#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>

// Leaks inside system libraries, never the backend's own: SDL's D-Bus buffer and Mesa's driver.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\nleak:swrast_dri.so\nleak:libGLX_mesa.so\n";
}

// Mesa unloads its driver whenever a display closes, and the driver's frames would then have no
// name to suppress; keeping it loaded keeps the names.
static void pinGlDriver()
{
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so", "/usr/lib64/dri/swrast_dri.so",
                             "/usr/lib/dri/swrast_dri.so"})
        if (dlopen(path, RTLD_NOW | RTLD_NODELETE))
            return;
}
#else
static void pinGlDriver() {}
#endif

int runViewer()
{
    pinGlDriver();
    pid_t server = startPrivateX(kScreenWidth, kScreenHeight);
    if (server < 0) {
        std::fprintf(stderr, "Xvfb did not start\n");
        return 1;
    }
    testing::InitGoogleTest();
    int status = RUN_ALL_TESTS();
    // Video keeps its display connection open; it must close before the server goes.
    stopVideo();
    stopPrivateX(server);
    return status;
}
