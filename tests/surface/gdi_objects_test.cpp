#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "surface/platform.h"
#include "surface/services.h"
#include "surface/testing.h"

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
    EXPECT_EQ(std::memcmp(copy->pixels.bits, pixels, 8 * 4), 0);
    EXPECT_NE(copy->pixels.bits, source->pixels.bits);
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

// The description of a destination layout: a 40-byte header, then masks
// (BI_BITFIELDS: three, BI_ALPHABITFIELDS: four) or a colour table.
// A section of a layout: a 40-byte header, then masks (BI_BITFIELDS: three,
// BI_ALPHABITFIELDS: four) or a colour table.
struct Layout {
    const char* name;
    WORD bits;
    DWORD compression;
    std::vector<DWORD> tail;

    std::vector<std::uint8_t> Describe(LONG width, LONG height) const {
        const BITMAPINFOHEADER h{40, width, height, 1, bits, compression, 0, 0, 0, 0, 0};
        std::vector<std::uint8_t> d(sizeof h + 4 * tail.size());
        std::memcpy(d.data(), &h, sizeof h);
        if (!tail.empty()) {
            std::memcpy(d.data() + sizeof h, tail.data(), 4 * tail.size());
        }
        return d;
    }
    HBITMAP Create(LONG width, LONG height, void** pixels) const {
        const std::vector<std::uint8_t> d = Describe(width, height);
        return CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(d.data()),
                                DIB_RGB_COLORS, pixels, nullptr, 0, static_cast<DWORD>(d.size()));
    }
};

// PlgBlt and SetDIBits write a pixel of every layout the same way: the same
// 24-bit picture, drawn unturned by the one and converted by the other.
TEST(GdiObjects, PlgBltAndSetDIBitsAgreeOnEveryLayout) {
    std::vector<DWORD> palette;
    for (DWORD i = 0; i < 256; ++i) {
        palette.push_back((i * 53 % 256) << 16 | (i * 101 % 256) << 8 | (i * 29 % 256));
    }
    const Layout layouts[] = {
        {"1-bit", 1, BI_RGB, {0x000000, 0xFFFFFF}},
        {"4-bit", 4, BI_RGB, std::vector<DWORD>(palette.begin(), palette.begin() + 16)},
        {"8-bit", 8, BI_RGB, palette},
        {"16-bit 5-5-5", 16, BI_RGB, {}},
        {"16-bit 5-6-5", 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}},
        {"24-bit", 24, BI_RGB, {}},
        {"32-bit", 32, BI_RGB, {}},
        {"32-bit 10-10-10", 32, BI_BITFIELDS, {0x3FF00000, 0x000FFC00, 0x000003FF}},
        {"32-bit with alpha", 32, BI_ALPHABITFIELDS, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}},
        {"16-bit with alpha", 16, BI_ALPHABITFIELDS, {0x0F00, 0x00F0, 0x000F, 0xF000}},
    };
    const LONG w = 7, h = 5;
    const Layout rgb24{"24-bit", 24, BI_RGB, {}};
    const std::vector<std::uint8_t> source24 = rgb24.Describe(w, h);
    void* sourceBits = nullptr;
    HBITMAP source = rgb24.Create(w, h, &sourceBits);
    ASSERT_NE(source, nullptr);
    std::vector<std::uint8_t> picture(static_cast<std::size_t>(24 * h));
    std::mt19937 rng(3);
    for (std::uint8_t& byte : picture) {
        byte = static_cast<std::uint8_t>(rng());
    }
    std::memcpy(sourceBits, picture.data(), picture.size());
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        void* drawnBits = nullptr;
        void* setBits = nullptr;
        HBITMAP drawn = l.Create(w, h, &drawnBits);
        HBITMAP set = l.Create(w, h, &setBits);
        ASSERT_NE(drawn, nullptr);
        ASSERT_NE(set, nullptr);
        HDC to = CreateCompatibleDC(nullptr);
        HDC from = CreateCompatibleDC(nullptr);
        HGDIOBJ oldTo = SelectObject(to, drawn);
        HGDIOBJ oldFrom = SelectObject(from, source);
        SetStretchBltMode(to, HALFTONE);
        const POINT corners[3] = {{0, 0}, {w, 0}, {0, h}};
        EXPECT_EQ(PlgBlt(to, corners, from, 0, 0, w, h, nullptr, 0, 0), TRUE);
        SelectObject(to, oldTo);
        SelectObject(from, oldFrom);
        DeleteDC(to);
        DeleteDC(from);
        EXPECT_EQ(
            SetDIBits(nullptr, set, 0, static_cast<UINT>(h), picture.data(),
                      reinterpret_cast<const BITMAPINFO*>(source24.data()), DIB_RGB_COLORS,
                      static_cast<DWORD>(picture.size()), static_cast<DWORD>(source24.size())),
            h);
        BITMAP record{};
        ASSERT_NE(GetObjectA(drawn, sizeof record, &record), 0);
        EXPECT_EQ(
            std::memcmp(drawnBits, setBits, static_cast<std::size_t>(record.bmWidthBytes * h)), 0);
        DeleteObject(drawn);
        DeleteObject(set);
    }
    DeleteObject(source);
}

// Large pictures are delivered in parts side by side: every row lands in
// its place in either order, with the bits after its pixels cleared whatever
// the section and the block held there.
TEST(GdiObjects, GetDIBitsDeliversLargePicturesWholeWithCleanRowEnds) {
    struct Case {
        LONG width, height;
        WORD bits;
        DWORD colors;
    };
    for (const Case c : {Case{2001, 1500, 24, 0}, Case{4001, 4100, 4, 16}}) {
        SCOPED_TRACE(c.bits);
        void* pixels = nullptr;
        HBITMAP bitmap = MakeSection(c.width, c.height, c.bits, c.colors, &pixels);
        ASSERT_NE(bitmap, nullptr);
        const std::size_t stride = ((static_cast<std::size_t>(c.width) * c.bits + 31) / 32) * 4;
        const std::size_t size = stride * static_cast<std::size_t>(c.height);
        auto* bytes = static_cast<std::uint8_t*>(pixels);
        std::mt19937 random(7);
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<std::uint8_t>(random());  // row ends included
        }
        const std::size_t pixelBits = static_cast<std::size_t>(c.width) * c.bits;
        std::vector<std::uint8_t> expected(stride);
        HDC dc = CreateCompatibleDC(nullptr);
        Description info{};
        std::vector<std::uint8_t> out(size);
        for (const LONG height : {c.height, -c.height}) {
            info.header = {40, c.width, height, 1, c.bits, BI_RGB, 0, 0, 0, 0, 0};
            std::fill(out.begin(), out.end(), std::uint8_t{0xCC});
            ASSERT_EQ(GetDIBits(dc, bitmap, 0, static_cast<UINT>(c.height), out.data(),
                                reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                static_cast<DWORD>(size), sizeof info),
                      c.height);
            for (LONG row = 0; row < c.height; ++row) {  // memory row 0 is the bottom row
                std::memcpy(expected.data(), bytes + stride * static_cast<std::size_t>(row),
                            stride);
                if (pixelBits % 8 != 0) {
                    expected[pixelBits / 8] &= static_cast<std::uint8_t>(~(0xFFu >> pixelBits % 8));
                }
                std::fill(expected.begin() + static_cast<std::ptrdiff_t>((pixelBits + 7) / 8),
                          expected.end(), std::uint8_t{0});
                const LONG outRow = height > 0 ? row : c.height - 1 - row;
                ASSERT_EQ(std::memcmp(out.data() + stride * static_cast<std::size_t>(outRow),
                                      expected.data(), stride),
                          0)
                    << "row " << row << ", height " << height;
            }
        }
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
}

// 5-6-5 pixels come back as 5-5-5: each channel widened to 8 bits from its
// own width, then narrowed to 5. Green (6 bits) 42 -> 170 -> 21,
// 63 -> 255 -> 31, 1 -> 4 -> 0, 33 -> 134 -> 16; red and blue keep theirs.
TEST(GdiObjects, GetDIBitsReadsSixBitGreenAsSixBits) {
    void* bits = nullptr;
    HBITMAP bitmap =
        Layout{"5-6-5", 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}}.Create(4, 1, &bits);
    ASSERT_NE(bitmap, nullptr);
    const std::uint16_t in[4] = {3 << 11 | 42 << 5 | 7, 31 << 11 | 63 << 5 | 31, 1 << 5,
                                 16 << 11 | 33 << 5 | 1};
    const std::uint16_t want[4] = {3 << 10 | 21 << 5 | 7, 31 << 10 | 31 << 5 | 31, 0,
                                   16 << 10 | 16 << 5 | 1};
    std::memcpy(bits, in, sizeof in);
    Description out{};
    out.header = {40, 4, 1, 1, 16, BI_RGB, 0, 0, 0, 0, 0};
    std::uint16_t got[4] = {};
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_EQ(GetDIBits(dc, bitmap, 0, 1, got, reinterpret_cast<BITMAPINFO*>(&out), DIB_RGB_COLORS,
                        sizeof got, sizeof out),
              1);
    EXPECT_EQ(std::vector<std::uint16_t>(got, got + 4), std::vector<std::uint16_t>(want, want + 4));
    DeleteDC(dc);
    DeleteObject(bitmap);
}

// A picture drawn turned by 180 degrees onto itself reads from the picture as
// it was.
TEST(GdiObjects, PlgBltOntoItselfReadsTheOldPicture) {
    void* bits = nullptr;
    HBITMAP picture = MakeSection(6, 4, 24, 0, &bits);
    ASSERT_NE(picture, nullptr);
    std::vector<std::uint8_t> before(20 * 4);  // rows of 18 bytes padded to 20
    for (std::size_t i = 0; i < before.size(); ++i) {
        before[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    std::memcpy(bits, before.data(), before.size());
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, picture);
    ASSERT_NE(SetStretchBltMode(dc, HALFTONE), 0);
    const POINT points[3] = {{6, 4}, {0, 4}, {6, 0}};
    EXPECT_EQ(PlgBlt(dc, points, dc, 0, 0, 6, 4, nullptr, 0, 0), TRUE);
    SelectObject(dc, previous);
    DeleteDC(dc);
    const auto* after = static_cast<const std::uint8_t*>(bits);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            EXPECT_EQ(
                std::memcmp(after + 20 * y + 3 * x, before.data() + 20 * (3 - y) + 3 * (5 - x), 3),
                0)
                << x << "," << y;
        }
    }
    DeleteObject(picture);
}

}  // namespace
