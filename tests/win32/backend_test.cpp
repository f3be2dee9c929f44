// Tests of the Win32 backend against the real window system (run under wine on a virtual X
// server, or on Windows). The shared GL code is replaced by recorders, so what is checked is the
// backend's own behaviour: window and context life cycle, messages, keys, the error box, glyphs.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <GL/gl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/viewer_state.h"
#include "display/keyboard.h"
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

static int groupsPassed;
static int groupsFailed;
static bool groupOk;

static void check(bool ok, const char* what, int line)
{
    if (!ok) {
        groupOk = false;
        std::printf("  line %d: %s\n", line, what);
    }
}
#define CHECK(condition) check((condition), #condition, __LINE__)

static void runGroup(const char* name, void (*body)())
{
    std::printf("%s\n", name);
    groupOk = true;
    resizes = ResizeLog{};
    boxes = BoxLog{};
    clearKeyboard();
    resetViewerState();
    body();
    destroyViewWindow();
    if (groupOk)
        ++groupsPassed;
    else
        ++groupsFailed;
}

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

static void testNothingBuilt()
{
    showError("Failed to read '%s', exiting.\n", "tessvane.cfg");
    CHECK(boxes.count == 0);
    viewProc(GetDesktopWindow(), WM_SIZE, 0, MAKELPARAM(320, 200));
    CHECK(resizes.calls == 0);
    destroyViewWindow();
    CHECK(!classRegistered());
    CHECK(!findViewWindow());
}

static void testKeyMessages()
{
    HWND any = GetDesktopWindow();
    CHECK(viewProc(any, WM_KEYDOWN, kKeyN, 0) == 0);
    viewProc(any, WM_KEYDOWN, kKeyN, 0);
    CHECK(takeFreshPress(kKeyN));
    viewProc(any, WM_KEYDOWN, kKeyN, 0);
    CHECK(!takeFreshPress(kKeyN));
    CHECK(viewProc(any, WM_KEYUP, kKeyN, 0) == 0);
    CHECK(!keyboard.down[kKeyN] && !keyboard.handled[kKeyN]);
    viewProc(any, WM_KEYDOWN, kKeyN, 0);
    CHECK(takeFreshPress(kKeyN));

    // Codes past the table, including one whose low 32 bits name a real key, touch nothing.
    clearKeyboard();
    viewProc(any, WM_KEYDOWN, 300, 0);
    viewProc(any, WM_KEYDOWN, (WPARAM(1) << 32) | kKeyA, 0);
    bool anyDown = false;
    for (int code = 0; code < kKeyCount; ++code)
        anyDown = anyDown || keyboard.down[code];
    CHECK(!anyDown);
}

static void testWindowedLifeCycle()
{
    int cursorBefore = cursorCounter();
    CHECK(createViewWindow(640, 480, 16, false));
    HWND window = findViewWindow();
    CHECK(window != nullptr);
    CHECK(wglGetCurrentContext() != nullptr);

    RECT client = {};
    GetClientRect(window, &client);
    CHECK(client.right == 640 && client.bottom == 480);
    LONG style = GetWindowLongA(window, GWL_STYLE);
    CHECK((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU));
    CHECK((style & WS_CLIPSIBLINGS) && (style & WS_CLIPCHILDREN));
    CHECK(!(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_POPUP)));
    CHECK(GetClassLongPtrA(window, GCLP_HICON) != 0);

    // Creation's own size message must not reach GL; the explicit sizing comes afterwards.
    CHECK(resizes.calls >= 1 && resizes.callsWithoutContext == 0);
    CHECK(resizes.glStateCalls == 1);

    PIXELFORMATDESCRIPTOR format = {};
    HDC dc = wglGetCurrentDC();
    DescribePixelFormat(dc, GetPixelFormat(dc), sizeof format, &format);
    CHECK((format.dwFlags & PFD_DOUBLEBUFFER) && (format.dwFlags & PFD_SUPPORT_OPENGL));
    CHECK(format.cDepthBits >= 16);

    SendMessageA(window, WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(300, 0));
    CHECK(resizes.width == 300 && resizes.height == 0);

    destroyViewWindow();
    CHECK(!findViewWindow());
    CHECK(!classRegistered());
    CHECK(wglGetCurrentContext() == nullptr);
    destroyViewWindow();
    CHECK(cursorCounter() == cursorBefore);

    // A second window after the first is gone: the class must have been given back.
    CHECK(createViewWindow(512, 384, 16, false));
    GetClientRect(findViewWindow(), &client);
    CHECK(client.right == 512 && client.bottom == 384);
}

static void testMessagePump()
{
    CHECK(createViewWindow(640, 480, 16, false));
    HWND window = findViewWindow();
    drainMessages();
    CHECK(!takePendingEvent());

    PostMessageA(window, WM_USER, 0, 0);
    CHECK(takePendingEvent());
    CHECK(!viewer.quitRequested);

    CHECK(SendMessageA(window, WM_SYSCOMMAND, SC_SCREENSAVE, 0) == 0);
    CHECK(SendMessageA(window, WM_SYSCOMMAND, SC_MONITORPOWER, 2) == 0);
    CHECK(!takePendingEvent());

    // Other system commands get the default handling: SC_CLOSE becomes WM_CLOSE, then the quit.
    SendMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    while (!viewer.quitRequested && takePendingEvent()) {
    }
    CHECK(viewer.quitRequested);
    CHECK(findViewWindow() == window);

    drainMessages();
    SendMessageA(window, WM_CLOSE, 0, 0);
    while (!viewer.quitRequested && takePendingEvent()) {
    }
    CHECK(viewer.quitRequested);
}

static void testErrorBox()
{
    CHECK(createViewWindow(640, 480, 16, false));
    showError("Failed to read '%s', exiting.\n", "data/page.bin");
    CHECK(boxes.count == 1);
    CHECK(boxes.caption == "Error");
    CHECK(boxes.text.find("Failed to read 'data/page.bin', exiting.") == 0);

    // Longer than the buffer: cut to what fits, never written past it.
    std::string longPath(1500, 'x');
    showError("Failed to read '%s', exiting.\n", longPath.c_str());
    CHECK(boxes.count == 2);
    CHECK(boxes.text.size() == 1023);
    CHECK(boxes.text.compare(0, 16, "Failed to read '") == 0);
    CHECK(boxes.text.find_first_not_of('x', 16) == std::string::npos);
}

static void testFontGlyphs()
{
    CHECK(createViewWindow(640, 480, 16, false));
    GLuint base = glGenLists(96);
    CHECK(buildFontGlyphs(base));
    CHECK(glIsList(base) && glIsList(base + '7' - 32) && glIsList(base + 95));
    CHECK(GetCurrentObject(wglGetCurrentDC(), OBJ_FONT) == GetStockObject(SYSTEM_FONT));
    glDeleteLists(base, 96);
}

static void testFullScreenRequest()
{
    int cursorBefore = cursorCounter();
    CHECK(createViewWindow(800, 600, 16, true));
    HWND window = findViewWindow();
    RECT client = {};
    GetClientRect(window, &client);
    CHECK(client.right == 800 && client.bottom == 600);
    bool popup = (GetWindowLongA(window, GWL_STYLE) & WS_POPUP) != 0;
    // The cursor is hidden exactly when the display mode was changed, and a refused mode
    // leaves an ordinary window.
    CHECK(cursorCounter() == cursorBefore - (popup ? 1 : 0));
    destroyViewWindow();
    CHECK(cursorCounter() == cursorBefore);
}

static LRESULT CALLBACK plainProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

static void testFailedRegistration()
{
    // A class of the same name already registered makes creation fail at its first step.
    WNDCLASSA taken = {};
    taken.lpfnWndProc = plainProc;
    taken.hInstance = GetModuleHandleA(nullptr);
    taken.lpszClassName = "f_tessvane";
    CHECK(RegisterClassA(&taken) != 0);
    int cursorBefore = cursorCounter();
    CHECK(!createViewWindow(640, 480, 16, true));
    CHECK(!findViewWindow());
    // Nothing was changed, so the teardown must not try to give anything back.
    destroyViewWindow();
    CHECK(cursorCounter() == cursorBefore);
    UnregisterClassA("f_tessvane", GetModuleHandleA(nullptr));
}

int main()
{
    HHOOK hook = SetWindowsHookExA(WH_CBT, closeBoxes, nullptr, GetCurrentThreadId());
    runGroup("nothing built", testNothingBuilt);
    runGroup("key messages", testKeyMessages);
    runGroup("windowed life cycle", testWindowedLifeCycle);
    runGroup("message pump", testMessagePump);
    runGroup("error box", testErrorBox);
    runGroup("font glyphs", testFontGlyphs);
    runGroup("full-screen request", testFullScreenRequest);
    runGroup("failed class registration", testFailedRegistration);
    UnhookWindowsHookEx(hook);
    std::printf("%d passed, %d failed\n", groupsPassed, groupsFailed);
    return groupsFailed == 0 ? 0 : 1;
}
