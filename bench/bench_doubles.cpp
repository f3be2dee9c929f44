// The benchmarks link the core alone; these stand in for the display seam.
#include <cstdarg>

bool reloadPage()
{
    return true;
}

void showError(const char*, ...) {}
