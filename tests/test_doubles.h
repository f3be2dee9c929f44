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

// A fresh temporary directory made the working directory, for code that works relative to it.
struct ScratchDir {
    std::string savedDir;
    std::string path;
};

bool enterScratchDir(ScratchDir* scratch, const char* prefix);

// Back to the saved directory; the scratch directory goes with everything in it.
bool leaveScratchDir(ScratchDir* scratch);
