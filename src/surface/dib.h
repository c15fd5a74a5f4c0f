// Inside the surface: what a bitmap section and a memory device context hold,
// and the pixel-format work shared by the section calls, the loader and the
// parallelogram transfer. Nothing outside src/surface includes this file.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "surface/platform.h"

namespace platform::detail {

// The pixel format of a section, as its description fixed it.
struct DibFormat {
    std::int32_t width = 0;      // > 0
    std::int32_t height = 0;     // > 0; the row order is in topDown
    bool topDown = false;        // row 0 of the memory is the top row of the picture
    std::uint16_t bitCount = 0;  // 1, 4, 8, 16, 24 or 32
    DWORD compression = BI_RGB;  // BI_RGB or BI_BITFIELDS
    DWORD redMask = 0, greenMask = 0, blueMask = 0, alphaMask = 0;  // set for 16 and 32 bits
    std::uint32_t colorCount = 0;  // entries in `colors` (bitCount <= 8), at most 256
    RGBQUAD colors[256] = {};      // entries past colorCount are black
    std::uint32_t stride = 0;      // bytes per row, padded to 4
};

struct FreeDeleter {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
};

}  // namespace platform::detail

namespace platform {

// A device-independent bitmap section. `bits` holds stride * height bytes,
// zero when the section is made.
struct GdiBitmap {
    detail::DibFormat format;
    std::unique_ptr<std::uint8_t, detail::FreeDeleter> bits;
    std::size_t size = 0;  // stride * height
    GdiDc* selectedInto = nullptr;

    // Row `y` counted from the top of the picture.
    std::uint8_t* RowFromTop(std::int32_t y) {
        const std::int32_t memoryRow = format.topDown ? y : format.height - 1 - y;
        return bits.get() + static_cast<std::size_t>(memoryRow) * format.stride;
    }
    const std::uint8_t* RowFromTop(std::int32_t y) const {
        return const_cast<GdiBitmap*>(this)->RowFromTop(y);
    }
};

// A memory device context: the bitmap selected into it and its stretching mode.
struct GdiDc {
    HBITMAP selected = nullptr;  // null while the DC holds its stock 1x1 bitmap
    int stretchMode = BLACKONWHITE;
};

}  // namespace platform

namespace platform::detail {

// Row length in bytes of `width` pixels at `bitCount` bits, padded to 4 bytes,
// and the picture size; false when either does not fit the BMP format's
// 32-bit size fields. Every size product in the surface goes through here.
bool DibRowAndImageSize(std::int64_t width, std::int64_t height, unsigned bitCount,
                        std::uint32_t* stride, std::uint32_t* imageSize);

// Reads and judges a BITMAPINFO-style description of `infoSize` bytes (any of
// the header sizes a section accepts) into `format`, the colour table
// included. On refusal returns false with the code in *error (usually
// ERROR_INVALID_PARAMETER; ERROR_INVALID_DATA when the description needs more
// bytes than it has). `compression` receives the description's own
// compression (BI_RLE4/BI_RLE8 included: a section made from it is BI_RGB).
bool DescribeDib(const BITMAPINFO* info, DWORD infoSize, DibFormat* format, DWORD* compression,
                 DWORD* error);

// Converts pixel data in the format `source` (with `sourceCompression`, RLE
// included) into the section, rows [start, start + lines) counted from the
// bottom of the source picture. Reads at most `bitsSize` bytes; rows or
// pixels that the block does not provide are left as they are. Returns the
// number of rows converted.
int ConvertIntoSection(GdiBitmap& target, const DibFormat& source, DWORD sourceCompression,
                       UINT start, UINT lines, const std::uint8_t* bits, std::size_t bitsSize);

// Expands row `y` (from the top) of a section into `width` pixels of 4 bytes:
// blue, green, red, 0. Palette indices beyond the table give black.
void ReadRowBgrx(const GdiBitmap& bitmap, std::int32_t y, std::uint8_t* out);

// Creates a section of `format` (stride filled in here) with zeroed pixels and
// registers it; null with the last-error code set when it cannot be made.
HBITMAP NewSection(const DibFormat& format);

// True when `object` is a live bitmap, or a live DC, of this surface.
bool IsLiveBitmap(const void* object);
bool IsLiveDc(const void* object);

// The parallelogram transfer with halftone stretching: draws `source` (the
// rectangle at xSrc, ySrc of width x height) onto `dest` through the corner
// points. Implemented in plgblt.cpp.
void HalftoneParallelogram(GdiBitmap& dest, const POINT points[3], const GdiBitmap& source,
                           int xSrc, int ySrc, int width, int height);

}  // namespace platform::detail
