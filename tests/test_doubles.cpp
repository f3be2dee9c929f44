#include "tests/test_doubles.h"

#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <system_error>

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

bool enterScratchDir(ScratchDir* scratch, const char* prefix)
{
    std::error_code error;
    scratch->savedDir = std::filesystem::current_path(error).string();
    if (error)
        return false;
    std::string pattern = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return false;
    scratch->path = pattern;
    std::filesystem::current_path(scratch->path, error);
    return !error;
}

bool leaveScratchDir(ScratchDir* scratch)
{
    std::error_code error;
    std::filesystem::current_path(scratch->savedDir, error);
    bool back = !error;
    std::filesystem::remove_all(scratch->path, error);
    return back && !error;
}
