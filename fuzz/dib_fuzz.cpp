// Section creation and pixel transfer with an arbitrary description and an
// arbitrary pixel block: the first two bytes give the description's length.
#include <cstdint>
#include <vector>

#include "surface/platform.h"

namespace {

constexpr std::uint64_t kMaxPixels = 1 << 20;

std::uint64_t Load(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Whether the section the description asks for may be made: a picture of at
// most kMaxPixels, or one too large for any section, which is refused before
// anything is allocated. Pictures in between would cost the fuzzer up to 4 GiB
// each and teach it nothing the small ones do not.
bool SmallEnoughToMake(const std::uint8_t* info, std::size_t infoSize) {
    if (infoSize < 16) {
        return true;  // too short for any header: refused as it is
    }
    const bool core = Load(info, 4) == 12;
    const std::uint64_t width = core ? Load(info + 4, 2) : Load(info + 4, 4);
    std::uint64_t height = core ? Load(info + 6, 2) : Load(info + 8, 4);
    if (!core && (height & 0x80000000u) != 0) {
        height = 0x100000000u - height;  // a top-down picture
    }
    if (!core && (width & 0x80000000u) != 0) {
        return true;  // a negative width is refused as it is
    }
    if (width * height <= kMaxPixels) {
        return true;
    }
    const std::uint64_t bits = core ? Load(info + 10, 2) : Load(info + 14, 2);
    if (bits == 0 || bits > 32) {
        return false;
    }
    const std::uint64_t row = (width * bits + 31) / 32 * 4;
    return row > (0xFFFFFFFFu - (14 + 40 + 256 * 4)) / height;
}

}  // namespace

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
    if (!SmallEnoughToMake(data, infoSize)) {
        return 0;
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
