// Stand-ins for the display seam, so the core can be tested without a window.
#pragma once

#include <string>

struct TestDoubles {
    int reloadCalls;
    bool reloadLoadsPage;  // when true, reloadPage really loads through loadPage
    int errorCount;
    std::string lastError;
};

extern TestDoubles doubles;

// Puts the viewer, keyboard and doubles back to their start-up state and releases any page.
void resetForTest();
