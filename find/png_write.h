// PNG output for extracted finds, through stb_image_write.
#pragma once

#include <cstdint>

// Writes width x height pixels of R, G, B bytes, row 0 first, as a PNG file.
bool writePng(const char* path, int32_t width, int32_t height, const uint8_t* rgb);
