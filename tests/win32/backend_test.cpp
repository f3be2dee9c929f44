// Tests of the Win32 backend against the real window system (run under wine on a virtual X
// server, or on Windows). The shared GL code is replaced by recorders, so what is checked is the
// backend's own behaviour: window and context life cycle, messages, keys, the error box, glyphs.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <GL/gl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/viewer_state.h"
#include "display/keyboard.h"
#include "display/message_text.h"
#include "display/platform.h"
#include "display/view.h"
#include "display/win32/win32_window.h"

// Recorders standing in for the shared GL code and the main loop.
struct ResizeLog {
    int calls;
    int callsWithoutContext;
    int32_t width;
    int32_t height;
    int glStateCalls;
};
static ResizeLog resizes;

void resizeView(int32_t width, int32_t height)
{
    ++resizes.calls;
    if (!wglGetCurrentContext())
        ++resizes.callsWithoutContext;
    resizes.width = width;
    resizes.height = height;
}

bool initGlState()
{
    ++resizes.glStateCalls;
    return true;
}

int runViewer()
{
    return 0;
}

// Message boxes are caught as they open, recorded and closed, so no test waits on a person.
struct BoxLog {
    int count;
    std::string caption;
    std::string text;
};
static BoxLog boxes;

static BOOL CALLBACK readStaticText(HWND child, LPARAM)
{
    char className[32];
    char text[4096];
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") == 0 && GetWindowTextA(child, text, sizeof text) > 0 &&
        std::strlen(text) > boxes.text.size())
        boxes.text = text;
    return TRUE;
}

static LRESULT CALLBACK closeBoxes(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_ACTIVATE) {
        HWND box = reinterpret_cast<HWND>(wParam);
        char className[32];
        GetClassNameA(box, className, sizeof className);
        if (std::strcmp(className, "#32770") == 0) {
            char caption[256];
            GetWindowTextA(box, caption, sizeof caption);
            ++boxes.count;
            boxes.caption = caption;
            boxes.text.clear();
            EnumChildWindows(box, readStaticText, 0);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class Win32Backend : public testing::Test {
protected:
    void SetUp() override
    {
        resizes = ResizeLog{};
        boxes = BoxLog{};
        clearKeyboard();
        resetViewerState();
    }
    void TearDown() override { destroyViewWindow(); }
};

static HWND findViewWindow()
{
    return FindWindowA("f_tessvane", "Tessvane");
}

static bool classRegistered()
{
    WNDCLASSA info;
    return GetClassInfoA(GetModuleHandleA(nullptr), "f_tessvane", &info) != FALSE;
}

// ShowCursor keeps a counter; reading it means moving it and moving it back.
static int cursorCounter()
{
    int count = ShowCursor(TRUE);
    ShowCursor(FALSE);
    return count - 1;
}

static void drainMessages()
{
    while (takePendingEvent()) {
    }
    viewer.quitRequested = false;
}

TEST_F(Win32Backend, NothingBuilt)
{
    showError("Failed to read '%s', exiting.\n", "tessvane.cfg");
    EXPECT_EQ(boxes.count, 0);
    viewProc(GetDesktopWindow(), WM_SIZE, 0, MAKELPARAM(320, 200));
    EXPECT_EQ(resizes.calls, 0);
    destroyViewWindow();
    EXPECT_TRUE(!classRegistered());
    EXPECT_TRUE(!findViewWindow());
}

TEST_F(Win32Backend, KeyMessages)
{
    HWND any = GetDesktopWindow();
    EXPECT_EQ(viewProc(any, WM_KEYDOWN, kKeyN, 0), 0);
    viewProc(any, WM_KEYDOWN, kKeyN, 0);
    EXPECT_TRUE(takeFreshPress(kKeyN));
    viewProc(any, WM_KEYDOWN, kKeyN, 0);
    EXPECT_TRUE(!takeFreshPress(kKeyN));
    EXPECT_EQ(viewProc(any, WM_KEYUP, kKeyN, 0), 0);
    EXPECT_TRUE(!keyboard.down[kKeyN] && !keyboard.handled[kKeyN]);
    viewProc(any, WM_KEYDOWN, kKeyN, 0);
    EXPECT_TRUE(takeFreshPress(kKeyN));

    // Codes past the table, including one whose low 32 bits name a real key, touch nothing.
    clearKeyboard();
    viewProc(any, WM_KEYDOWN, 300, 0);
    viewProc(any, WM_KEYDOWN, (WPARAM(1) << 32) | kKeyA, 0);
    bool anyDown = false;
    for (int code = 0; code < kKeyCount; ++code)
        anyDown = anyDown || keyboard.down[code];
    EXPECT_TRUE(!anyDown);
}

TEST_F(Win32Backend, WindowedLifeCycle)
{
    int cursorBefore = cursorCounter();
    ASSERT_TRUE(createViewWindow(640, 480, 16, false));
    HWND window = findViewWindow();
    EXPECT_TRUE(window != nullptr);
    EXPECT_TRUE(wglGetCurrentContext() != nullptr);

    RECT client = {};
    GetClientRect(window, &client);
    EXPECT_TRUE(client.right == 640 && client.bottom == 480);
    LONG style = GetWindowLongA(window, GWL_STYLE);
    EXPECT_TRUE((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU));
    EXPECT_TRUE((style & WS_CLIPSIBLINGS) && (style & WS_CLIPCHILDREN));
    EXPECT_TRUE(!(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_POPUP)));
    EXPECT_TRUE(GetClassLongPtrA(window, GCLP_HICON) != 0);

    // Creation's own size message must not reach GL; the explicit sizing comes afterwards.
    EXPECT_TRUE(resizes.calls >= 1 && resizes.callsWithoutContext == 0);
    EXPECT_EQ(resizes.glStateCalls, 1);

    PIXELFORMATDESCRIPTOR format = {};
    HDC dc = wglGetCurrentDC();
    DescribePixelFormat(dc, GetPixelFormat(dc), sizeof format, &format);
    EXPECT_TRUE((format.dwFlags & PFD_DOUBLEBUFFER) && (format.dwFlags & PFD_SUPPORT_OPENGL));
    EXPECT_TRUE(format.cDepthBits >= 16);

    SendMessageA(window, WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(300, 0));
    EXPECT_TRUE(resizes.width == 300 && resizes.height == 0);

    destroyViewWindow();
    EXPECT_TRUE(!findViewWindow());
    EXPECT_TRUE(!classRegistered());
    EXPECT_EQ(wglGetCurrentContext(), nullptr);
    destroyViewWindow();
    EXPECT_EQ(cursorCounter(), cursorBefore);

    // A second window after the first is gone: the class must have been given back.
    ASSERT_TRUE(createViewWindow(512, 384, 16, false));
    GetClientRect(findViewWindow(), &client);
    EXPECT_TRUE(client.right == 512 && client.bottom == 384);
}

TEST_F(Win32Backend, MessagePump)
{
    ASSERT_TRUE(createViewWindow(640, 480, 16, false));
    HWND window = findViewWindow();
    drainMessages();
    EXPECT_TRUE(!takePendingEvent());

    PostMessageA(window, WM_USER, 0, 0);
    EXPECT_TRUE(takePendingEvent());
    EXPECT_TRUE(!viewer.quitRequested);

    EXPECT_EQ(SendMessageA(window, WM_SYSCOMMAND, SC_SCREENSAVE, 0), 0);
    EXPECT_EQ(SendMessageA(window, WM_SYSCOMMAND, SC_MONITORPOWER, 2), 0);
    EXPECT_TRUE(!takePendingEvent());

    // Other system commands get the default handling: SC_CLOSE becomes WM_CLOSE, then the quit.
    SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    while (!viewer.quitRequested && takePendingEvent()) {
    }
    EXPECT_TRUE(viewer.quitRequested);
    EXPECT_EQ(findViewWindow(), window);

    drainMessages();
    SendMessageA(window, WM_CLOSE, 0, 0);
    while (!viewer.quitRequested && takePendingEvent()) {
    }
    EXPECT_TRUE(viewer.quitRequested);
}

TEST_F(Win32Backend, ErrorBox)
{
    ASSERT_TRUE(createViewWindow(640, 480, 16, false));
    showError("Failed to read '%s', exiting.\n", "data/page.bin");
    EXPECT_EQ(boxes.count, 1);
    EXPECT_EQ(boxes.caption, "Error");
    EXPECT_EQ(boxes.text.find("Failed to read 'data/page.bin', exiting."), 0u);

    // Longer than the buffer: cut to what fits, never written past it.
    std::string longPath(1500, 'x');
    showError("Failed to read '%s', exiting.\n", longPath.c_str());
    EXPECT_EQ(boxes.count, 2);
    EXPECT_EQ(boxes.text.size(), size_t{kMessageCapacity - 1});
    EXPECT_EQ(boxes.text.compare(0, 16, "Failed to read '"), 0);
    EXPECT_EQ(boxes.text.find_first_not_of('x', 16), std::string::npos);
}

TEST_F(Win32Backend, FontGlyphs)
{
    ASSERT_TRUE(createViewWindow(640, 480, 16, false));
    GLuint base = glGenLists(96);
    EXPECT_TRUE(buildFontGlyphs(base));
    EXPECT_TRUE(glIsList(base) && glIsList(base + '7' - 32) && glIsList(base + 95));
    EXPECT_EQ(GetCurrentObject(wglGetCurrentDC(), OBJ_FONT), GetStockObject(SYSTEM_FONT));
    glDeleteLists(base, 96);
}

TEST_F(Win32Backend, FullScreenRequest)
{
    int cursorBefore = cursorCounter();
    ASSERT_TRUE(createViewWindow(800, 600, 16, true));
    HWND window = findViewWindow();
    RECT client = {};
    GetClientRect(window, &client);
    EXPECT_TRUE(client.right == 800 && client.bottom == 600);
    bool popup = (GetWindowLongA(window, GWL_STYLE) & WS_POPUP) != 0;
    // The cursor is hidden exactly when the display mode was changed, and a refused mode
    // leaves an ordinary window.
    EXPECT_EQ(cursorCounter(), cursorBefore - (popup ? 1 : 0));
    destroyViewWindow();
    EXPECT_EQ(cursorCounter(), cursorBefore);
}

static LRESULT CALLBACK plainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST_F(Win32Backend, FailedClassRegistration)
{
    // A class of the same name already registered makes creation fail at its first step.
    WNDCLASSA taken = {};
    taken.lpfnWndProc = plainProc;
    taken.hInstance = GetModuleHandleA(nullptr);
    taken.lpszClassName = "f_tessvane";
    EXPECT_TRUE(RegisterClassA(&taken) != 0);
    int cursorBefore = cursorCounter();
    EXPECT_TRUE(!createViewWindow(640, 480, 16, true));
    EXPECT_TRUE(!findViewWindow());
    // Nothing was changed, so the teardown must not try to give anything back.
    destroyViewWindow();
    EXPECT_EQ(cursorCounter(), cursorBefore);
    UnregisterClassA("f_tessvane", GetModuleHandleA(nullptr));
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    HHOOK hook = SetWindowsHookExA(WH_CBT, closeBoxes, nullptr, GetCurrentThreadId());
    int status = RUN_ALL_TESTS();
    UnhookWindowsHookEx(hook);
    return status;
}
