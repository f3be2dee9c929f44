#include "tests/support/doubles.h"

#include "app/viewer_state.h"
#include "display/keyboard.h"
#include "display/view.h"
#include "page/page.h"

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

void resetForTest()
{
    freePage(viewer.page);
    resetViewerState();
    fillVideoModes();
    clearKeyboard();
    doubles = TestDoubles{};
}
