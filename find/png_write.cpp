// The one translation unit that holds stb_image_write's code; it is built without the project's
// warning flags, since the library is not ours to change.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include "find/png_write.h"

bool writePng(const char* path, int32_t width, int32_t height, const uint8_t* rgb)
{
    return stbi_write_png(path, width, height, 3, rgb, width * 3) != 0;
}
