// Section creation and pixel transfer with an arbitrary description and an
// arbitrary pixel block: the first two bytes give the description's length.
#include <cstdint>
#include <vector>

#include "surface/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform;
    if (size < 2) {
        return 0;
    }
    std::size_t infoSize = static_cast<std::size_t>(data[0] | (data[1] << 8)) % 1200;
    data += 2;
    size -= 2;
    if (infoSize > size) {
        infoSize = size;
    }
    // Exact-length copies, so that any read past either block is caught.
    std::vector<std::uint8_t> info(data, data + infoSize);
    std::vector<std::uint8_t> pixels(data + infoSize, data + size);
    const auto* description = reinterpret_cast<const BITMAPINFO*>(info.data());
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, description, DIB_RGB_COLORS, &bits, nullptr, 0,
                                      static_cast<DWORD>(infoSize));
    if (bitmap == nullptr) {
        return 0;
    }
    BITMAP record{};
    GetObjectA(bitmap, sizeof record, &record);
    // Keep the pictures small enough for a fuzzer's pace.
    const std::int64_t h = record.bmHeight;
    if (static_cast<std::int64_t>(record.bmWidth) * h > (1 << 20)) {
        DeleteObject(bitmap);
        return 0;
    }
    SetDIBits(nullptr, bitmap, 0, static_cast<UINT>(h), pixels.data(), description, DIB_RGB_COLORS,
              static_cast<DWORD>(pixels.size()), static_cast<DWORD>(infoSize));
    std::vector<std::uint8_t> out(static_cast<std::size_t>(record.bmWidthBytes) *
                                  static_cast<std::size_t>(record.bmHeight));
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colors[256];
    } query{};
    query.header = {40, record.bmWidth, record.bmHeight, 1, record.bmBitsPixel, BI_RGB, 0, 0, 0, 0,
                    0};
    HDC dc = CreateCompatibleDC(nullptr);
    GetDIBits(dc, bitmap, 0, static_cast<UINT>(record.bmHeight), out.data(),
              reinterpret_cast<BITMAPINFO*>(&query), DIB_RGB_COLORS, static_cast<DWORD>(out.size()),
              sizeof query);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return 0;
}
