// Win32 backend internals that the backend tests reach.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

LRESULT CALLBACK viewProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
