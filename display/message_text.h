// The one way messages and overlay texts are formatted: into a fixed buffer, cut to fit.
#pragma once

#include <cstdarg>
#include <cstdio>

constexpr int kMessageCapacity = 1024;

// Returns the length kept. Some C runtimes leave a cut-off text unterminated, so the end is
// always written.
inline int formatMessage(char (&text)[kMessageCapacity], const char* format, va_list args)
{
    int length = std::vsnprintf(text, kMessageCapacity, format, args);
    text[kMessageCapacity - 1] = '\0';
    if (length < 0) {
        text[0] = '\0';
        return 0;
    }
    return length < kMessageCapacity ? length : kMessageCapacity - 1;
}
