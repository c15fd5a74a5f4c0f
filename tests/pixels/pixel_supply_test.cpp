// The one rule every reader judges a file's missing pixels by.
#include "pixels/pixel_supply.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using veerpic::pixels::SuppliesEnough;

TEST(PixelSupply, MissingPixelsAndTheCanvasTheyWouldBuy) {
    constexpr std::uint64_t kMi = std::uint64_t{1} << 20;
    const struct {
        std::uint64_t width, height, supplied;
        bool enough;
    } cases[] = {
        {1, 16 * kMi, 16 * kMi, true},       // complete: any canvas
        {30000, 30000, 900000000, true},     // complete and large
        {1, 16 * kMi, 1, false},             // one pixel of 16 Mi: a canvas of 1.4e14
        {1024, 16 * kMi / 1024, 0, false},   // nothing of 16 Mi, a 151 Mpx canvas
        {4096, 4096, 0, true},               // nothing of 16 Mi, a 32 Mpx canvas: free
        {4000, 3000, 4000, true},            // a photograph cut after one row
        {8000, 2000, 8000, true},            // 16 Mpx cut after one row: 50 Mpx canvas
        {10000, 10000, 50000000, true},      // half of 100 Mpx
        {10000, 10000, 49999999, false},     // less than half, beyond the free 16 Mi
        {20000, 1000, 13781250, true},       // canvas 220.5 Mpx: 16 a pixel supplied
        {20000, 1000, 13781249, false},      // one pixel fewer
        {100000, 2000, 150000000, false},    // canvas 5.2e9: 34 a pixel supplied
        {UINT32_MAX, UINT32_MAX, 0, false},  // no overflow at the largest sizes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SuppliesEnough(c.width, c.height, c.supplied), c.enough)
            << c.width << "x" << c.height << " with " << c.supplied;
    }
}

}  // namespace
