#include "common/pixel_layouts.h"

static const char* const kLayoutNames[kLayoutCount] = {"4-bit grey",    "8-bit grey",    "15-bit colour",
                                                       "24-bit colour", "32-bit colour", "RGB565 colour"};

const char* layoutName(int32_t layout)
{
    return layout >= 0 && layout < kLayoutCount ? kLayoutNames[layout] : "unknown";
}
