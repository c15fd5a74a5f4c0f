// Reading a BMP file into a bitmap section.
#pragma once

#include "surface/platform.h"

namespace veerpic {

// Loads the BMP file at `path`: through the platform's image loader, and when
// that yields nothing, through a header-checked reading of the file itself.
// Returns the bitmap, which the caller releases with DeleteObject, or null
// with the reason in the last-error code.
platform::HBITMAP LoadBitmapFile(const char* path);

// The tests the file header of the reader's own path must pass: the "BM"
// signature, zero reserved words, pixel data after the offset, and an offset
// past the file header that leaves room for at most a 40-byte info header
// with a full 256-entry colour table.
bool BmpFileHeaderPasses(const platform::BITMAPFILEHEADER& header);

}  // namespace veerpic
