// Win32 backend: the window and its WGL context, the message pump, the error box and the
// GDI bitmap font. Everything else is shared code behind display/platform.h.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <GL/gl.h>

#include <climits>
#include <cstdarg>
#include <cstdio>

#include "app/main_loop.h"
#include "app/viewer_state.h"
#include "display/keyboard.h"
#include "display/message_text.h"
#include "display/platform.h"
#include "display/view.h"
#include "display/win32/win32_window.h"

static const char kClassName[] = "f_tessvane";
static const char kWindowTitle[] = "Tessvane";
static const int kIconResource = 101;

static HINSTANCE instance;
static HWND window;
static HDC deviceContext;
static HGLRC glContext;
// True exactly while the desktop display mode has been changed for this window.
static bool fullscreenActive;

// wParam is pointer-sized: saturate instead of truncating, so a huge value cannot wrap into
// the key table.
static unsigned keyCode(WPARAM wParam)
{
    return wParam > UINT_MAX ? UINT_MAX : static_cast<unsigned>(wParam);
}

LRESULT CALLBACK viewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SYSCOMMAND:
        // Whole value on purpose: keeps the screen saver and monitor power-down away.
        if (wParam == SC_SCREENSAVE || wParam == SC_MONITORPOWER)
            return 0;
        break;
    case WM_CLOSE:
        PostQuitMessage(0);
        return 0;
    case WM_KEYDOWN:
        keyPressed(keyCode(wParam));
        return 0;
    case WM_KEYUP:
        keyReleased(keyCode(wParam));
        return 0;
    case WM_SIZE:
        // The size message sent while the window is being created arrives before there is a
        // context to size; createViewWindow sets the view itself once it is current.
        if (glContext)
            resizeView(LOWORD(lParam), HIWORD(lParam));
        return 0;
    case WM_ACTIVATE:
    case WM_MOUSEMOVE:
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

static bool registerViewClass()
{
    WNDCLASSA windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_OWNDC;
    windowClass.lpfnWndProc = viewProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconResource));
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    return RegisterClassA(&windowClass) != 0;
}

static bool attachGlContext(int32_t colourBits)
{
    PIXELFORMATDESCRIPTOR format = {};
    format.nSize = sizeof format;
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = static_cast<BYTE>(colourBits);
    format.cDepthBits = 16;
    format.iLayerType = PFD_MAIN_PLANE;

    deviceContext = GetDC(window);
    if (!deviceContext)
        return false;
    int formatIndex = ChoosePixelFormat(deviceContext, &format);
    if (!formatIndex || !SetPixelFormat(deviceContext, formatIndex, &format))
        return false;
    glContext = wglCreateContext(deviceContext);
    if (!glContext)
        return false;
    return wglMakeCurrent(deviceContext, glContext) != FALSE;
}

bool createViewWindow(int32_t width, int32_t height, int32_t colourBits, bool fullscreen)
{
    fullscreenActive = fullscreen;
    instance = GetModuleHandleA(nullptr);
    if (!registerViewClass()) {
        // Nothing was changed yet, so nothing must be given back later either.
        fullscreenActive = false;
        return false;
    }

    if (fullscreenActive) {
        DEVMODEA mode = {};
        mode.dmSize = sizeof mode;
        mode.dmPelsWidth = static_cast<DWORD>(width);
        mode.dmPelsHeight = static_cast<DWORD>(height);
        mode.dmBitsPerPel = static_cast<DWORD>(colourBits);
        mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_BITSPERPEL;
        // A refused mode is no failure: the same client size opens as a window.
        if (ChangeDisplaySettingsA(&mode, CDS_FULLSCREEN) != DISP_CHANGE_SUCCESSFUL)
            fullscreenActive = false;
    }

    DWORD exStyle;
    DWORD style;
    if (fullscreenActive) {
        exStyle = WS_EX_APPWINDOW;
        style = WS_POPUP;
        ShowCursor(FALSE);
    } else {
        exStyle = WS_EX_APPWINDOW | WS_EX_WINDOWEDGE;
        style = WS_CAPTION | WS_SYSMENU;
    }
    RECT outer = {0, 0, width, height};
    AdjustWindowRectEx(&outer, style, FALSE, exStyle);

    window = CreateWindowExA(exStyle, kClassName, kWindowTitle, style | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                             0, 0, outer.right - outer.left, outer.bottom - outer.top, nullptr, nullptr,
                             instance, nullptr);
    if (!window || !attachGlContext(colourBits)) {
        destroyViewWindow();
        return false;
    }

    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
    SetFocus(window);
    resizeView(width, height);
    initGlState();
    return true;
}

void destroyViewWindow()
{
    if (fullscreenActive) {
        ChangeDisplaySettingsA(nullptr, 0);
        ShowCursor(TRUE);
        fullscreenActive = false;
    }
    if (glContext) {
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(glContext);
        glContext = nullptr;
    }
    if (deviceContext) {
        ReleaseDC(window, deviceContext);
        deviceContext = nullptr;
    }
    if (window) {
        DestroyWindow(window);
        window = nullptr;
    }
    UnregisterClassA(kClassName, instance);
}

bool takePendingEvent()
{
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        return false;
    if (msg.message == WM_QUIT) {
        viewer.quitRequested = true;
    } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

void swapViewBuffers()
{
    SwapBuffers(deviceContext);
}

uint32_t readTickCount()
{
    return GetTickCount();
}

void showError(const char* format, ...)
{
    if (!window)
        return;
    char text[kMessageCapacity];
    va_list args;
    va_start(args, format);
    formatMessage(text, format, args);
    va_end(args);
    MessageBoxA(window, text, "Error", MB_OK);
}

bool buildFontGlyphs(uint32_t base)
{
    HFONT font = CreateFontA(32, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_TT_PRECIS,
                             CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "fixedsys");
    if (!font)
        return false;
    HGDIOBJ previous = SelectObject(deviceContext, font);
    bool built = wglUseFontBitmapsA(deviceContext, 32, 96, base) != FALSE;
    // The glyphs are copied into the display lists, so the font is not needed afterwards;
    // keeping it would leak one GDI object per window re-creation.
    SelectObject(deviceContext, previous);
    DeleteObject(font);
    return built;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return runViewer();
}
