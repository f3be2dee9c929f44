// Writing the current page as a numbered 24-bit BMP file.
#pragma once

#include <cstddef>
#include <cstdint>

struct PageImage;

// Builds the whole BMP file for page in one heap buffer (release with free()).
// Returns nullptr when the buffer cannot be had.
uint8_t* buildBmpFile(const PageImage* page, size_t* fileSize);

// "<base>_<zero run><counter>.bmp"; false when it would not fit in capacity.
bool formatCaptureName(char* name, size_t capacity, const char* base, int32_t counter);

// Writes viewer.page to the next numbered file and reports its own failures.
void captureBmp();
