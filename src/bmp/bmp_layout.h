// The parts of a BMP file the reader and the writer share.
#pragma once

#include "pixels/bmp_constants.h"
#include "surface/platform.h"

namespace veerpic {

// The bytes between the file header and the pixels: a 40-byte info header
// and room for a full 256-entry colour table.
struct InfoBlock {
    platform::BITMAPINFOHEADER header;
    platform::RGBQUAD colors[pixels::kMaxColorEntries];
};
static_assert(sizeof(InfoBlock) == pixels::kInfoBlockBytes);

}  // namespace veerpic
