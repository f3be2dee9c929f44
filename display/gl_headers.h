// The GL 1.1 header; Windows' copy needs windows.h first for its calling-convention macros.
#pragma once

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif
#include <GL/gl.h>
