// Stand-ins for the display seam (reloadPage, showError), so the core runs without a window in
// the tests, benchmarks and fuzz targets.
#pragma once

#include <string>

struct TestDoubles {
    int reloadCalls;
    bool reloadLoadsPage;  // when true, reloadPage really loads through loadPage
    int errorCount;
    std::string lastError;  // as the error box would show it
};

extern TestDoubles doubles;

// Puts the viewer, keyboard and doubles back to their start-up state and releases any page.
void resetForTest();
