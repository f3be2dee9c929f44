#include "tests/test_doubles.h"

#include <cstdarg>
#include <cstdio>

#include "app/viewer_state.h"
#include "display/keyboard.h"
#include "page/page.h"

TestDoubles doubles;

bool reloadPage()
{
    ++doubles.reloadCalls;
    if (!doubles.reloadLoadsPage)
        return true;
    freePage(viewer.page);
    viewer.page = loadPage(viewer.dataPath, viewer.pixelFormat, viewer.pageWidth, viewer.pageHeight,
                           viewer.fileOffset, viewer.fileOffset + kPageSize[viewer.pixelFormat]);
    return viewer.page != nullptr;
}

void showError(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    ++doubles.errorCount;
    doubles.lastError = buffer;
}

void resetForTest()
{
    freePage(viewer.page);
    resetViewerState();
    fillVideoModes();
    clearKeyboard();
    doubles = TestDoubles{};
}
