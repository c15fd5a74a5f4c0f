#include "rotate/rotate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic::CreateRgb24Bitmap;
using veerpic::RotateBitmap;

struct Description {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
};

HBITMAP MakeIndexed(LONG width, LONG height) {
    Description d{};
    d.header = {40, width, height, 1, 8, BI_RGB, 0, 0, 0, 3, 0};
    d.colors[0] = {0, 0, 0, 0};
    d.colors[1] = {255, 0, 0, 0};
    d.colors[2] = {0, 0, 255, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d), DIB_RGB_COLORS,
                                      &bits, nullptr, 0, sizeof d);
    if (bitmap != nullptr) {
        auto* bytes = static_cast<std::uint8_t*>(bits);
        BITMAP record{};
        GetObjectA(bitmap, sizeof record, &record);
        for (LONG i = 0; i < record.bmWidthBytes * height; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i % 3);
        }
    }
    return bitmap;
}

BITMAP Query(HBITMAP bitmap) {
    BITMAP record{};
    EXPECT_NE(GetObjectA(bitmap, sizeof record, &record), 0);
    return record;
}

void ExpectNothingHeldBut(long bitmaps) {
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.bitmaps, bitmaps);
    EXPECT_EQ(live.dcs, 0);
}

TEST(RotateBitmap, WholeTurnsCopyAtTheSourceDepth) {
    HBITMAP source = MakeIndexed(7, 5);
    ASSERT_NE(source, nullptr);
    const double inf = std::numeric_limits<double>::infinity();
    for (double angle : {0.0, -0.0, 360.0, -720.0, 3.6e17, inf, -inf,
                         std::numeric_limits<double>::quiet_NaN(), 1e-309}) {
        HBITMAP copy = RotateBitmap(source, angle);
        ASSERT_NE(copy, nullptr) << angle;
        ASSERT_NE(copy, source);
        const BITMAP a = Query(source);
        const BITMAP b = Query(copy);
        EXPECT_EQ(b.bmBitsPixel, 8);
        EXPECT_EQ(b.bmWidth, 7);
        EXPECT_EQ(b.bmHeight, 5);
        EXPECT_EQ(std::memcmp(a.bmBits, b.bmBits, static_cast<std::size_t>(a.bmWidthBytes) * 5), 0);
        DeleteObject(copy);
    }
    DeleteObject(source);
    ExpectNothingHeldBut(0);
}

TEST(RotateBitmap, OtherAnglesGiveA24BitCanvasOfTheTruncatedBox) {
    HBITMAP source = MakeIndexed(100, 50);
    struct Case {
        double angle;
        LONG width;
        LONG height;
    };
    for (const Case& c : {Case{30, 111, 93}, Case{90, 50, 100}, Case{-30, 111, 93},
                          Case{2e-309, 100, 50}, Case{370, 107, 66}}) {
        HBITMAP canvas = RotateBitmap(source, c.angle);
        ASSERT_NE(canvas, nullptr) << c.angle;
        const BITMAP r = Query(canvas);
        EXPECT_EQ(r.bmBitsPixel, 24);
        EXPECT_EQ(r.bmWidth, c.width);
        EXPECT_EQ(r.bmHeight, c.height);
        DeleteObject(canvas);
    }
    // The source can still be deleted: it left its DC.
    EXPECT_TRUE(DeleteObject(source));
    ExpectNothingHeldBut(0);
}

TEST(RotateBitmap, FailuresReturnNullAndReleaseEverything) {
    EXPECT_EQ(RotateBitmap(nullptr, 30), nullptr);
    HBITMAP source = MakeIndexed(10, 10);
    EXPECT_EQ(RotateBitmap(source, 1e20), nullptr);
    EXPECT_EQ(RotateBitmap(source, -std::ldexp(1.0, 60)), nullptr);
    ExpectNothingHeldBut(1);
    DeleteObject(source);
}

TEST(RotateBitmap, CanvasBeyondTheFileSizeFieldsIsRefusedWithoutAllocating) {
    // 30000 x 30000 at 1 bit is about 112 MB; turned by 45 degrees onto a
    // 24-bit canvas it would need about 5.4 GB, more than a BMP file can say.
    Description d{};
    d.header = {40, 30000, 30000, 1, 1, BI_RGB, 0, 0, 0, 2, 0};
    void* bits = nullptr;
    HBITMAP source = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d), DIB_RGB_COLORS,
                                      &bits, nullptr, 0, sizeof d);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(RotateBitmap(source, 45), nullptr);
    ExpectNothingHeldBut(1);
    DeleteObject(source);
}

TEST(RotateBitmap, SourceTooWideForTheTransferIsRefusedNotLeftBlank) {
    // One row of 2^28 + 64 pixels at 1 bit: 32 MiB. A quarter turn fits a
    // canvas, but the transfer does not draw sources this wide.
    Description d{};
    d.header = {40, (LONG{1} << 28) + 64, 1, 1, 1, BI_RGB, 0, 0, 0, 2, 0};
    void* bits = nullptr;
    HBITMAP source = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d), DIB_RGB_COLORS,
                                      &bits, nullptr, 0, sizeof d);
    ASSERT_NE(source, nullptr);
    for (double angle : {90.0, -90.0}) {
        EXPECT_EQ(RotateBitmap(source, angle), nullptr) << angle;
    }
    ExpectNothingHeldBut(1);
    DeleteObject(source);
}

TEST(CreateRgb24Bitmap, MakesABlackBottomUpSection) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP canvas = CreateRgb24Bitmap(dc, 5, 3);
    ASSERT_NE(canvas, nullptr);
    const BITMAP r = Query(canvas);
    EXPECT_EQ(r.bmWidthBytes, 16);
    EXPECT_EQ(r.bmBitsPixel, 24);
    const auto* bytes = static_cast<const std::uint8_t*>(r.bmBits);
    for (int i = 0; i < 48; ++i) {
        ASSERT_EQ(bytes[i], 0);
    }
    EXPECT_EQ(CreateRgb24Bitmap(dc, 0, 3), nullptr);
    EXPECT_EQ(CreateRgb24Bitmap(dc, 70000, 70000), nullptr);
    DeleteObject(canvas);
    DeleteDC(dc);
    ExpectNothingHeldBut(0);
}

}  // namespace
