// Reading a BMP file into a bitmap section.
#pragma once

#include "surface/platform.h"

namespace veerpic {

// Loads the BMP file at `path`: through the platform's image loader, and when
// that yields nothing, through a header-checked reading of the file itself.
// Returns the bitmap, which the caller releases with DeleteObject, or null
// with the reason in the last-error code.
platform::HBITMAP LoadBitmapFile(const char* path);

}  // namespace veerpic
