// Writing a bitmap as an uncompressed BMP file.
#pragma once

#include "surface/platform.h"

namespace veerpic {

// Writes `bitmap` to `path` at its own depth, with a 40-byte info header and a
// full colour table below 16 bits. Returns TRUE when the whole file was
// written, FALSE otherwise (a null bitmap included), with the reason in the
// last-error code. The bitmap stays the caller's.
platform::BOOL SaveBitmapFile(const char* path, platform::HBITMAP bitmap);

}  // namespace veerpic
