// SetDIBits of rows that start anywhere in a 2 x 3 section, or past it:
// the rows it sets, counted only as far as the picture goes, or the refusal
// and its code.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;

TEST(SetRowsContract, RowsAreCountedAsFarAsThePictureGoes) {
    const BITMAPINFOHEADER header{40, 2, 3, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    const auto* info = reinterpret_cast<const BITMAPINFO*>(&header);
    void* bits = nullptr;
    HBITMAP section =
        CreateDIBSection(nullptr, info, DIB_RGB_COLORS, &bits, nullptr, 0, sizeof header);
    ASSERT_NE(section, nullptr);
    const std::vector<std::uint8_t> rows(8 * 5, 0x77);  // five rows of 2 pixels, padded to 8
    constexpr DWORD kMarker = 4242;
    const struct {
        UINT start, lines;
        int result;
        DWORD code;  // kMarker: left as it was
    } cases[] = {
        {0, 3, 3, kMarker},
        {1, 2, 2, kMarker},
        {1, 5, 2, kMarker},
        {2, 1, 1, kMarker},
        {2, 4, 1, kMarker},
        {3, 1, 0, ERROR_INVALID_PARAMETER},
        {0, 0, 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SetLastError(kMarker);
        EXPECT_EQ(SetDIBits(nullptr, section, c.start, c.lines, rows.data(), info, DIB_RGB_COLORS,
                            static_cast<DWORD>(rows.size()), sizeof header),
                  c.result)
            << c.start << " " << c.lines;
        EXPECT_EQ(GetLastError(), c.code) << c.start << " " << c.lines;
    }
    EXPECT_TRUE(DeleteObject(section));
}

}  // namespace
