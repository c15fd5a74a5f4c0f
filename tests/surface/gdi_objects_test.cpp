#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "surface/dib.h"
#include "surface/platform.h"

namespace {

using namespace platform;

struct Description {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
};

HBITMAP MakeSection(LONG width, LONG height, WORD bits, DWORD colors, void** pixels) {
    Description d{};
    d.header = {40, width, height, 1, bits, BI_RGB, 0, 0, 0, colors, 0};
    for (DWORD i = 0; i < colors; ++i) {
        d.colors[i] = {static_cast<BYTE>(i), static_cast<BYTE>(2 * i), static_cast<BYTE>(3 * i), 0};
    }
    return CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d), DIB_RGB_COLORS, pixels,
                            nullptr, 0, sizeof d);
}

struct SizeCase {
    std::int64_t width;
    std::int64_t height;
    unsigned bits;
    bool fits;
    std::uint32_t stride;
};

TEST(DibRowAndImageSize, PadsRowsAndRefusesWhatTheFileCannotSay) {
    const SizeCase cases[] = {{1, 1, 1, true, 4},          {32, 1, 1, true, 4},
                              {33, 1, 1, true, 8},         {5, 1, 4, true, 4},
                              {3, 2, 24, true, 12},        {1, 1, 32, true, 4},
                              {10, 1, 16, true, 20},       {0, 1, 24, false, 0},
                              {1, 0, 24, false, 0},        {0x7FFFFFFF, 1, 32, false, 0},
                              {65536, 65536, 8, false, 0}, {30000, 30000, 1, true, 3752},
                              {42426, 42426, 24, false, 0}};
    for (const SizeCase& c : cases) {
        std::uint32_t stride = 0;
        std::uint32_t size = 0;
        EXPECT_EQ(detail::DibRowAndImageSize(c.width, c.height, c.bits, &stride, &size), c.fits)
            << c.width << "x" << c.height << "@" << c.bits;
        if (c.fits) {
            EXPECT_EQ(stride, c.stride);
            EXPECT_EQ(size, c.stride * c.height);
        }
    }
    // The largest picture whose file still fits 32-bit sizes, and one row more.
    std::uint32_t stride = 0;
    std::uint32_t size = 0;
    const std::int64_t rows = (0xFFFFFFFFll - 1078) / 4;
    EXPECT_TRUE(detail::DibRowAndImageSize(1, rows, 32, &stride, &size));
    EXPECT_FALSE(detail::DibRowAndImageSize(1, rows + 1, 32, &stride, &size));
}

TEST(GdiObjects, StaleAndNullHandlesAreRefused) {
    void* pixels = nullptr;
    HBITMAP bitmap = MakeSection(2, 2, 24, 0, &pixels);
    ASSERT_NE(bitmap, nullptr);
    BITMAP record{};
    ASSERT_EQ(GetObjectA(bitmap, sizeof record, &record), static_cast<int>(sizeof record));
    EXPECT_EQ(record.bmWidth, 2);
    EXPECT_EQ(record.bmHeight, 2);
    EXPECT_EQ(record.bmWidthBytes, 8);
    EXPECT_EQ(record.bmBitsPixel, 24);
    EXPECT_EQ(record.bmBits, pixels);
    EXPECT_TRUE(DeleteObject(bitmap));
    for (HANDLE h : {static_cast<HANDLE>(nullptr), static_cast<HANDLE>(bitmap),
                     static_cast<HANDLE>(&record)}) {
        SetLastError(0);
        EXPECT_EQ(GetObjectA(h, sizeof record, &record), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(DeleteObject(h));
        EXPECT_EQ(CopyImage(h, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION), nullptr);
    }
    EXPECT_FALSE(DeleteDC(nullptr));
    EXPECT_EQ(GetLiveCounts().bitmaps, 0);
}

TEST(GdiObjects, ABitmapSitsInOneDcAndCannotBeDeletedThere) {
    void* pixels = nullptr;
    HBITMAP bitmap = MakeSection(2, 2, 24, 0, &pixels);
    HDC first = CreateCompatibleDC(nullptr);
    HDC second = CreateCompatibleDC(nullptr);
    HGDIOBJ stock = SelectObject(first, bitmap);
    ASSERT_NE(stock, nullptr);
    EXPECT_EQ(SelectObject(second, bitmap), nullptr);
    EXPECT_FALSE(DeleteObject(bitmap));
    EXPECT_EQ(SelectObject(first, stock), bitmap);
    EXPECT_TRUE(DeleteObject(bitmap));
    DeleteDC(first);
    DeleteDC(second);
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.bitmaps, 0);
    EXPECT_EQ(live.dcs, 0);
}

TEST(GdiObjects, CopyImageKeepsFormatTableAndPixels) {
    void* pixels = nullptr;
    HBITMAP source = MakeSection(9, 4, 4, 16, &pixels);
    ASSERT_NE(source, nullptr);
    std::memset(pixels, 0x5A, 8 * 4);  // rows of 9 pixels at 4 bits: 8 bytes
    HBITMAP copy = static_cast<HBITMAP>(CopyImage(source, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->format.bitCount, 4);
    EXPECT_EQ(copy->format.colorCount, source->format.colorCount);
    EXPECT_EQ(std::memcmp(copy->format.colors, source->format.colors, sizeof source->format.colors),
              0);
    EXPECT_EQ(std::memcmp(copy->bits.get(), pixels, 8 * 4), 0);
    EXPECT_NE(copy->bits.get(), source->bits.get());
    DeleteObject(copy);
    DeleteObject(source);
}

TEST(GdiObjects, GetDIBitsDeliversRowsInTheOrderAskedAndAFullTable) {
    void* pixels = nullptr;
    HBITMAP bitmap = MakeSection(4, 3, 8, 3, &pixels);
    auto* bytes = static_cast<std::uint8_t*>(pixels);
    for (int row = 0; row < 3; ++row) {  // memory row 0 is the bottom row
        std::memset(bytes + 4 * row, row + 1, 4);
    }
    HDC dc = CreateCompatibleDC(nullptr);
    Description info{};
    std::vector<std::uint8_t> out(12);
    for (LONG height : {3, -3}) {
        info.header = {40, 4, height, 1, 8, BI_RGB, 0, 0, 0, 0, 0};
        ASSERT_EQ(GetDIBits(dc, bitmap, 0, 3, out.data(), reinterpret_cast<BITMAPINFO*>(&info),
                            DIB_RGB_COLORS, 12, sizeof info),
                  3);
        EXPECT_EQ(out[0], height > 0 ? 1 : 3);
        EXPECT_EQ(out[8], height > 0 ? 3 : 1);
        EXPECT_EQ(info.header.biSizeImage, 12u);
        EXPECT_EQ(info.colors[2].rgbRed, 6);
        EXPECT_EQ(info.colors[3].rgbRed, 0);
        EXPECT_EQ(info.colors[255].rgbBlue, 0);
    }
    // A buffer for two rows gets two rows, and nothing past it.
    info.header.biHeight = 3;
    std::vector<std::uint8_t> small(9, 0xCC);
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 3, small.data(), reinterpret_cast<BITMAPINFO*>(&info),
                        DIB_RGB_COLORS, 8, sizeof info),
              2);
    EXPECT_EQ(small[8], 0xCC);
    // An info block without room for the table is refused.
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 3, out.data(), reinterpret_cast<BITMAPINFO*>(&info),
                        DIB_RGB_COLORS, 12, 40),
              0);
    DeleteDC(dc);
    DeleteObject(bitmap);
}

}  // namespace
