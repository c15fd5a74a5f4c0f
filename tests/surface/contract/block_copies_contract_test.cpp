// GetDIBits into a block of the process heap is a copy of the picture at that
// moment, whatever the services share behind it: the block's writes never
// reach the section, and the section's later writes never reach the block.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;

struct Description {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
};

// The whole picture, bottom row first as the section holds it, into `block`.
bool Copy(HBITMAP bitmap, const Description& d, void* block, DWORD bytes) {
    HDC dc = CreateCompatibleDC(nullptr);
    Description asked = d;
    asked.header.biSizeImage = 0;
    const int rows =
        GetDIBits(dc, bitmap, 0, static_cast<UINT>(d.header.biHeight), block,
                  reinterpret_cast<BITMAPINFO*>(&asked), DIB_RGB_COLORS, bytes, sizeof asked);
    DeleteDC(dc);
    return rows == d.header.biHeight;
}

TEST(BlockCopiesContract, AHeapBlockHoldsThePictureAsItWas) {
    const struct {
        LONG width, height;
        WORD depth;
    } cases[] = {{1200, 700, 24}, {1030, 1100, 8}, {3000, 2900, 1}, {700, 500, 32}, {40, 30, 24}};
    for (const auto& c : cases) {
        Description d{};
        d.header = {40, c.width, c.height, 1, c.depth, BI_RGB, 0, 0, 0, 0, 0};
        for (int i = 0; i < 256; ++i) {
            d.colors[i] = {static_cast<BYTE>(i), static_cast<BYTE>(255 - i), 7, 0};
        }
        void* bits = nullptr;
        HBITMAP section = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d),
                                           DIB_RGB_COLORS, &bits, nullptr, 0, sizeof d);
        ASSERT_NE(section, nullptr);
        BITMAP record{};
        ASSERT_NE(GetObjectA(section, sizeof record, &record), 0);
        const auto bytes = static_cast<DWORD>(record.bmWidthBytes * record.bmHeight);
        // Varied pixels, with each row's padding clear as a section keeps it.
        std::vector<std::uint8_t> picture(bytes);
        const std::size_t used = (static_cast<std::size_t>(c.width) * c.depth + 7) / 8;
        for (std::size_t i = 0; i < bytes; ++i) {
            const std::size_t x = i % static_cast<std::size_t>(record.bmWidthBytes);
            picture[i] = x < used && (c.depth != 1 || x + 1 < used)
                             ? static_cast<std::uint8_t>(i * 2654435761u >> 13)
                             : 0;
        }
        std::memcpy(bits, picture.data(), bytes);
        const auto where = std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                           std::to_string(c.depth);

        void* first = HeapAlloc(GetProcessHeap(), 0, bytes);
        void* second = HeapAlloc(GetProcessHeap(), 0, bytes);
        ASSERT_TRUE(first != nullptr && second != nullptr);
        ASSERT_TRUE(Copy(section, d, first, bytes)) << where;
        EXPECT_EQ(std::memcmp(first, picture.data(), bytes), 0) << where;
        // The block's writes stay in the block.
        std::memset(first, 0xA5, bytes / 2);
        ASSERT_TRUE(Copy(section, d, second, bytes)) << where;
        EXPECT_EQ(std::memcmp(second, picture.data(), bytes), 0) << where;
        // The section's writes after a copy stay out of it.
        std::memset(bits, 0x3C, bytes);
        EXPECT_EQ(std::memcmp(second, picture.data(), bytes), 0) << where;
        EXPECT_EQ(static_cast<std::uint8_t*>(first)[bytes - 1], picture[bytes - 1]) << where;
        HeapFree(GetProcessHeap(), 0, first);
        HeapFree(GetProcessHeap(), 0, second);
        EXPECT_TRUE(DeleteObject(section));
    }
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.bitmaps + live.dcs + live.heapBlocks, 0);
}

}  // namespace
