// PLACEHOLDER (lead): minimal stand-ins until the real decoding and transfer
// land from their branches. Removed when they are merged.
#include <cstring>

#include "surface/dib.h"

namespace platform::detail {

bool DescribeDib(const BITMAPINFO* info, DWORD infoSize, DibFormat* format, DWORD* compression,
                 DWORD* error) {
    if (infoSize < 40 || info->bmiHeader.biSize != 40) {
        *error = ERROR_INVALID_DATA;
        return false;
    }
    const BITMAPINFOHEADER& h = info->bmiHeader;
    DibFormat f;
    f.width = h.biWidth;
    f.height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
    f.topDown = h.biHeight < 0;
    f.bitCount = h.biBitCount;
    if (h.biCompression != BI_RGB || f.width <= 0 || h.biHeight == 0 ||
        (f.bitCount != 1 && f.bitCount != 4 && f.bitCount != 8 && f.bitCount != 24 &&
         f.bitCount != 32 && f.bitCount != 16)) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::uint32_t size = 0;
    if (!DibRowAndImageSize(f.width, f.height, f.bitCount, &f.stride, &size)) {
        *error = ERROR_INVALID_PARAMETER;
        return false;
    }
    if (f.bitCount == 16) {
        f.redMask = 0x7C00;
        f.greenMask = 0x3E0;
        f.blueMask = 0x1F;
    } else if (f.bitCount == 32) {
        f.redMask = 0xFF0000;
        f.greenMask = 0xFF00;
        f.blueMask = 0xFF;
    } else if (f.bitCount <= 8) {
        f.colorCount = h.biClrUsed ? h.biClrUsed : (1u << f.bitCount);
        if (f.colorCount > 256 || infoSize < 40 + 4 * f.colorCount) {
            *error = ERROR_INVALID_DATA;
            return false;
        }
        std::memcpy(f.colors, info->bmiColors, 4 * f.colorCount);
    }
    *format = f;
    *compression = BI_RGB;
    return true;
}

int ConvertIntoSection(GdiBitmap& target, const DibFormat& source, DWORD, UINT start, UINT lines,
                       const std::uint8_t* bits, std::size_t bitsSize) {
    int rows = 0;
    for (UINT i = 0; i < lines; ++i) {
        const std::size_t offset = static_cast<std::size_t>(i) * source.stride;
        const std::int32_t fromBottom = static_cast<std::int32_t>(start + i);
        if (fromBottom >= target.format.height || offset + source.stride > bitsSize) {
            break;
        }
        std::memcpy(target.RowFromTop(target.format.height - 1 - fromBottom), bits + offset,
                    target.format.stride);
        ++rows;
    }
    return rows;
}

}  // namespace platform::detail

namespace platform {
HANDLE LoadImageA(HINSTANCE, LPCSTR, UINT, int, int, UINT) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
}
}  // namespace platform
