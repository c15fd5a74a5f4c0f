// Pixel formats of device-independent bitmaps: what a description (an info
// header with its masks and colour table) fixes about the pixels, judged as a
// strict platform judges it, and the memory of one picture in such a format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "pixels/bmp_constants.h"

namespace veerpic::pixels {

// The pixel format of a picture, as its description fixed it.
struct DibFormat {
    std::int32_t width = 0;              // > 0
    std::int32_t height = 0;             // > 0; the row order is in topDown
    bool topDown = false;                // row 0 of the memory is the top row of the picture
    std::uint16_t bitCount = 0;          // 1, 4, 8, 16, 24 or 32
    std::uint32_t compression = BI_RGB;  // BI_RGB or BI_BITFIELDS
    std::uint32_t redMask = 0, greenMask = 0, blueMask = 0, alphaMask = 0;  // 16 and 32 bits
    std::uint32_t colorCount = 0;           // entries in `colors` (bitCount <= 8), at most 256
    RGBQUAD colors[kMaxColorEntries] = {};  // entries past colorCount are black
    std::uint32_t stride = 0;               // bytes per row, padded to 4
};

// The pixels of one picture: `format` and the memory it describes, stride *
// height bytes. Neither is owned.
struct Plane {
    const DibFormat* format = nullptr;
    std::uint8_t* bits = nullptr;

    // Row `y` counted from the top of the picture.
    std::uint8_t* RowFromTop(std::int32_t y) const {
        const std::int32_t memoryRow = format->topDown ? y : format->height - 1 - y;
        return bits + static_cast<std::size_t>(memoryRow) * format->stride;
    }
};

// Row length in bytes of `width` pixels at `bitCount` bits, padded to 4 bytes,
// and the picture size; false when either does not fit the BMP format's
// 32-bit size fields (with room for the largest header and colour table).
// Every size product of the engine goes through here.
bool DibRowAndImageSize(std::int64_t width, std::int64_t height, unsigned bitCount,
                        std::uint32_t* stride, std::uint32_t* imageSize);

// Reads and judges a BITMAPINFO-style description (any of the header sizes a
// section accepts) into `format`, the colour table included, and the
// description's own compression into `compression` (BI_RLE4 and BI_RLE8
// included: a picture made from it is BI_RGB). kInvalidData when the
// description needs more bytes than `info` holds, kInvalidParameter for any
// other refusal. `format` is only written on success.
Status DescribeDib(std::span<const std::uint8_t> info, DibFormat* format,
                   std::uint32_t* compression);

}  // namespace veerpic::pixels
