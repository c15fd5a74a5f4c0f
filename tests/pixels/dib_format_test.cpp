// Judging section descriptions, and converting pixel rows of every source
// format (RLE included) into sections.
#include "pixels/dib_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pixels/image.h"
#include "pixels/row_codec.h"
#include "support/test_support.h"

namespace {

using namespace veerpic::pixels;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using UINT = unsigned;
using veerpic_test::Bytes;
using veerpic_test::PutI32;
using veerpic_test::PutU16;
using veerpic_test::PutU32;

// A description: header of `size` bytes (fields as far as the size reaches,
// the rest zero), then `tail` (masks, colour table).
Bytes Header(DWORD size, std::int32_t width, std::int32_t height, WORD bitCount,
             DWORD compression = BI_RGB, DWORD clrUsed = 0, WORD planes = 1) {
    Bytes b;
    PutU32(b, size);
    if (size == 12) {
        PutU16(b, static_cast<WORD>(width));
        PutU16(b, static_cast<WORD>(height));
        PutU16(b, planes);
        PutU16(b, bitCount);
        return b;
    }
    PutI32(b, width);
    PutI32(b, height);
    PutU16(b, planes);
    PutU16(b, bitCount);
    if (size > 16) {
        PutU32(b, compression);
        PutU32(b, 0);
        PutU32(b, 0);
        PutU32(b, 0);
        PutU32(b, clrUsed);
        PutU32(b, 0);
    }
    b.resize(size, 0);
    return b;
}

Bytes With(Bytes b, const std::vector<std::uint32_t>& words, std::size_t extraZeros = 0) {
    for (std::uint32_t w : words) {
        PutU32(b, w);
    }
    b.resize(b.size() + extraZeros, 0);
    return b;
}

Bytes WithSize(Bytes b, DWORD size) {
    std::memcpy(b.data(), &size, sizeof size);
    return b;
}

// Masks placed inside a header of 52 bytes or more.
Bytes WithMasksInside(Bytes b, DWORD r, DWORD g, DWORD bl, DWORD a = 0) {
    const DWORD m[4] = {r, g, bl, a};
    std::memcpy(b.data() + 40, m, b.size() >= 56 ? 16 : 12);
    return b;
}

struct Outcome {
    bool ok;
    Status error;
    DibFormat format;
    DWORD compression;
};

// Judges `desc` from a heap block of exactly its size, so that a read past
// the end is caught by the address sanitizer.
Outcome Describe(const Bytes& desc, std::size_t infoSize) {
    std::vector<std::uint8_t> exact(desc.begin(), desc.begin() + static_cast<long>(infoSize));
    Outcome o{};
    o.compression = 0xDEAD;
    o.error = DescribeDib(exact, &o.format, &o.compression);
    o.ok = o.error == Status::kOk;
    return o;
}
Outcome Describe(const Bytes& desc) {
    return Describe(desc, desc.size());
}

struct AcceptCase {
    const char* name;
    Bytes desc;
    WORD bitCount;
    DWORD compression;  // of the section
    DWORD reported;     // the description's own
    std::uint32_t colors;
    DWORD red, green, blue, alpha;
    std::uint32_t stride;
    bool topDown;
};

TEST(DescribeDib, AcceptsEachHeaderDepthAndCompression) {
    const AcceptCase cases[] = {
        {"core 8-bit", With(Header(12, 5, 3, 8), {}, 256 * 3), 8, BI_RGB, BI_RGB, 256, 0, 0, 0, 0,
         8, false},
        {"core 24-bit", Header(12, 5, 3, 24), 24, BI_RGB, BI_RGB, 0, 0, 0, 0, 0, 16, false},
        {"OS/2 short 4-bit", With(Header(16, 9, 2, 4), {}, 64), 4, BI_RGB, BI_RGB, 16, 0, 0, 0, 0,
         8, false},
        {"OS/2 full RLE8", With(Header(64, 3, 2, 8, BI_RLE8, 2), {1, 2}), 8, BI_RGB, BI_RLE8, 2, 0,
         0, 0, 0, 4, false},
        {"info 1-bit", With(Header(40, 33, 1, 1), {0, 0xFFFFFF}), 1, BI_RGB, BI_RGB, 2, 0, 0, 0, 0,
         8, false},
        {"info 4-bit, short table", With(Header(40, 1, 1, 4, BI_RGB, 3), {1, 2, 3}), 4, BI_RGB,
         BI_RGB, 3, 0, 0, 0, 0, 4, false},
        {"info RLE4", With(Header(40, 1, 1, 4, BI_RLE4, 1), {1}), 4, BI_RGB, BI_RLE4, 1, 0, 0, 0, 0,
         4, false},
        {"info 8-bit top-down", With(Header(40, 3, -4, 8, BI_RGB, 1), {7}), 8, BI_RGB, BI_RGB, 1, 0,
         0, 0, 0, 4, true},
        {"info 16-bit default", Header(40, 3, 1, 16), 16, BI_RGB, BI_RGB, 0, 0x7C00, 0x03E0, 0x001F,
         0, 8, false},
        {"info 16-bit 5-6-5", With(Header(40, 2, 1, 16, BI_BITFIELDS), {0xF800, 0x07E0, 0x001F}),
         16, BI_BITFIELDS, BI_BITFIELDS, 0, 0xF800, 0x07E0, 0x001F, 0, 4, false},
        {"info 24-bit, unused table of 300", Header(40, 1, 1, 24, BI_RGB, 300), 24, BI_RGB, BI_RGB,
         0, 0, 0, 0, 0, 4, false},
        {"info 32-bit default", Header(40, 1, 1, 32), 32, BI_RGB, BI_RGB, 0, 0xFF0000, 0xFF00, 0xFF,
         0, 4, false},
        {"info 32-bit alpha bit fields",
         With(Header(40, 1, 1, 32, BI_ALPHABITFIELDS), {0xFF, 0xFF00, 0xFF0000, 0xFF000000}), 32,
         BI_BITFIELDS, BI_ALPHABITFIELDS, 0, 0xFF, 0xFF00, 0xFF0000, 0xFF000000, 4, false},
        {"V2 masks inside",
         WithMasksInside(Header(52, 1, 1, 32, BI_BITFIELDS), 0xFFE00000, 0x1FFC00, 0x3FF), 32,
         BI_BITFIELDS, BI_BITFIELDS, 0, 0xFFE00000, 0x1FFC00, 0x3FF, 0, 4, false},
        {"V3 alpha inside",
         WithMasksInside(Header(56, 1, 1, 16, BI_BITFIELDS), 0xF00, 0xF0, 0xF, 0xF000), 16,
         BI_BITFIELDS, BI_BITFIELDS, 0, 0xF00, 0xF0, 0xF, 0xF000, 4, false},
        {"V4 BI_RGB ignores masks", WithMasksInside(Header(108, 1, 1, 16), 1, 2, 4, 8), 16, BI_RGB,
         BI_RGB, 0, 0x7C00, 0x03E0, 0x001F, 0, 4, false},
        {"V5 8-bit", With(Header(124, 1, 1, 8, BI_RGB, 2), {5, 6}), 8, BI_RGB, BI_RGB, 2, 0, 0, 0,
         0, 4, false},
    };
    for (const AcceptCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = Describe(c.desc);
        ASSERT_TRUE(o.ok) << static_cast<int>(o.error);
        EXPECT_EQ(o.format.bitCount, c.bitCount);
        EXPECT_EQ(o.format.compression, c.compression);
        EXPECT_EQ(o.compression, c.reported);
        EXPECT_EQ(o.format.colorCount, c.colors);
        EXPECT_EQ(o.format.redMask, c.red);
        EXPECT_EQ(o.format.greenMask, c.green);
        EXPECT_EQ(o.format.blueMask, c.blue);
        EXPECT_EQ(o.format.alphaMask, c.alpha);
        EXPECT_EQ(o.format.stride, c.stride);
        EXPECT_EQ(o.format.topDown, c.topDown);
        EXPECT_GT(o.format.height, 0);
    }
}

TEST(DescribeDib, CopiesColourTablesOfBothEntrySizes) {
    Bytes core = Header(12, 1, 1, 1);
    core.insert(core.end(), {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Outcome o = Describe(core);
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.format.colors[0].rgbBlue, 0x10);
    EXPECT_EQ(o.format.colors[0].rgbRed, 0x30);
    EXPECT_EQ(o.format.colors[1].rgbBlue, 0x40);
    EXPECT_EQ(o.format.colors[1].rgbRed, 0x60);

    o = Describe(With(Header(40, 1, 1, 8, BI_RGB, 2), {0xAA112233, 0x00445566}));
    ASSERT_TRUE(o.ok);
    EXPECT_EQ(o.format.colors[0].rgbRed, 0x11);
    EXPECT_EQ(o.format.colors[0].rgbBlue, 0x33);
    EXPECT_EQ(o.format.colors[0].rgbReserved, 0);
    EXPECT_EQ(o.format.colors[1].rgbGreen, 0x55);
    for (int i = 2; i < 256; ++i) {
        ASSERT_EQ(
            o.format.colors[i].rgbRed | o.format.colors[i].rgbGreen | o.format.colors[i].rgbBlue,
            0);
    }
}

struct RefuseCase {
    const char* name;
    Bytes desc;
    std::size_t infoSize;  // 0: the whole description
    Status error;
};

TEST(DescribeDib, RefusesWithTheReason) {
    const Status P = Status::kInvalidParameter;
    const Status D = Status::kInvalidData;
    const Bytes rgb565 = With(Header(40, 1, 1, 16, BI_BITFIELDS), {0xF800, 0x07E0, 0x001F});
    const RefuseCase cases[] = {
        {"header size 0", WithSize(Header(40, 1, 1, 24), 0), 0, P},
        {"header size 41", Header(41, 1, 1, 24), 0, P},
        {"header size 2^32-1", WithSize(Header(40, 1, 1, 24), 0xFFFFFFFF), 0, P},
        {"header size 66", Header(66, 1, 1, 24), 0, P},
        {"planes 0", Header(40, 1, 1, 24, BI_RGB, 0, 0), 0, P},
        {"planes 2", Header(40, 1, 1, 24, BI_RGB, 0, 2), 0, P},
        {"width 0", Header(40, 0, 1, 24), 0, P},
        {"width negative", Header(40, -127, 64, 24), 0, P},
        {"core width 0", Header(12, 0, 1, 24), 0, P},
        {"height 0", Header(40, 1, 0, 24), 0, P},
        {"height INT32_MIN", Header(40, 1, INT32_MIN, 24), 0, P},
        {"depth 0", Header(40, 1, 1, 0), 0, P},
        {"depth 2", Header(40, 1, 1, 2, BI_RGB, 4), 0, P},
        {"depth 64", Header(40, 1, 1, 64), 0, P},
        {"depth 30000", Header(40, 1, 1, 30000), 0, P},
        {"core 16-bit", Header(12, 1, 1, 16), 0, P},
        {"RLE8 at 4 bits", Header(40, 1, 1, 4, BI_RLE8, 1), 0, P},
        {"RLE4 at 8 bits", Header(40, 1, 1, 8, BI_RLE4, 1), 0, P},
        {"RLE top-down", Header(40, 1, -1, 8, BI_RLE8, 1), 0, P},
        {"bit fields at 24 bits",
         With(Header(40, 1, 1, 24, BI_BITFIELDS), {0xFF0000, 0xFF00, 0xFF}), 0, P},
        {"bit fields at 8 bits", With(Header(40, 1, 1, 8, BI_BITFIELDS, 1), {4, 2, 1, 0}), 0, P},
        {"bit fields in an OS/2 header", Header(64, 1, 1, 16, BI_BITFIELDS), 0, P},
        {"alpha bit fields in a V2 header", Header(52, 1, 1, 32, BI_ALPHABITFIELDS), 0, P},
        {"OS/2 RLE24", Header(64, 1, 1, 24, 4), 0, P},
        {"JPEG", Header(124, 1, 1, 0, BI_JPEG), 0, P},
        {"PNG", Header(124, 1, 1, 0, BI_PNG), 0, P},
        {"compression 7", Header(40, 1, 1, 24, 7), 0, P},
        {"mask with a gap", With(Header(40, 1, 1, 16, BI_BITFIELDS), {0xF0F0, 0x0F00, 0x000F}), 0,
         P},
        {"masks overlapping", With(Header(40, 1, 1, 16, BI_BITFIELDS), {0xF800, 0x0FE0, 0x001F}), 0,
         P},
        {"blue mask empty", With(Header(40, 1, 1, 16, BI_BITFIELDS), {0xFF00, 0x00FF, 0}), 0, P},
        {"mask beyond 16 bits", With(Header(40, 1, 1, 16, BI_BITFIELDS), {0x1F800, 0x07E0, 0x001F}),
         0, P},
        {"alpha overlapping",
         WithMasksInside(Header(124, 1, 1, 32, BI_BITFIELDS), 0xFF0000, 0xFF00, 0xFF, 0xFF800000),
         0, P},
        {"257 colours at 8 bits", With(Header(40, 1, 1, 8, BI_RGB, 257), {}, 257 * 4), 0, P},
        {"17 colours at 4 bits", With(Header(40, 1, 1, 4, BI_RGB, 17), {}, 17 * 4), 0, P},
        {"rows too long for 32-bit sizes", Header(40, 0x7FFFFFFF, 1, 32), 0, P},
        {"picture too large for 32-bit sizes", With(Header(40, 65536, 65536, 8, BI_RGB, 1), {0}), 0,
         P},
        {"reallybig", Header(40, 3000000, 2000000, 24), 0, P},
        {"three bytes", Header(40, 1, 1, 24), 3, D},
        {"header cut short", Header(40, 1, 1, 24), 39, D},
        {"V5 header cut short", Header(124, 1, 1, 24), 108, D},
        {"masks missing", rgb565, 40, D},
        {"one mask byte missing", rgb565, 51, D},
        {"alpha mask missing",
         With(Header(40, 1, 1, 32, BI_ALPHABITFIELDS), {0xFF0000, 0xFF00, 0xFF}), 0, D},
        {"colour table short", With(Header(40, 1, 1, 8), {}, 1023), 0, D},
        {"declared table short", With(Header(40, 1, 1, 4, BI_RGB, 5), {1, 2, 3, 4}), 0, D},
        {"core table short", With(Header(12, 1, 1, 8), {}, 767), 0, D},
    };
    for (const RefuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t size = c.infoSize == 0 ? c.desc.size() : c.infoSize;
        const Outcome o = Describe(c.desc, size);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, c.error);
    }
}

// ------------------------------------------------------------- conversion

// A picture of `format` with every byte set to `fill`.
struct Section {
    Image image;
    explicit Section(DibFormat f, std::uint8_t fill = 0) {
        EXPECT_EQ(image.Allocate(f), Status::kOk);
        std::fill(image.bits.begin(), image.bits.end(), fill);
    }
    const std::uint8_t* Row(int y) { return image.View().RowFromTop(y); }
};

DibFormat Format(int width, int height, WORD bitCount, std::vector<std::uint32_t> palette = {},
                 DWORD red = 0, DWORD green = 0, DWORD blue = 0, DWORD alpha = 0) {
    DibFormat f;
    f.width = width;
    f.height = height;
    f.bitCount = bitCount;
    f.compression = red != 0 ? BI_BITFIELDS : BI_RGB;
    if (bitCount == 16 && red == 0) {
        red = 0x7C00, green = 0x03E0, blue = 0x001F;
    } else if (bitCount == 32 && red == 0) {
        red = 0xFF0000, green = 0xFF00, blue = 0xFF;
    }
    f.redMask = red, f.greenMask = green, f.blueMask = blue, f.alphaMask = alpha;
    f.colorCount = static_cast<std::uint32_t>(palette.size());
    for (std::size_t i = 0; i < palette.size(); ++i) {
        std::memcpy(&f.colors[i], &palette[i], 4);
    }
    std::uint32_t size = 0;
    DibRowAndImageSize(width, height, bitCount, &f.stride, &size);
    return f;
}

int Convert(Section& s, const DibFormat& src, DWORD compression, const Bytes& bits, UINT start = 0,
            UINT lines = 0) {
    // An exact-size heap copy: reads past the block are caught.
    std::vector<std::uint8_t> exact(bits);
    return ConvertRows(s.image.View(), src, compression, start,
                       lines == 0 ? static_cast<UINT>(src.height) : lines, exact);
}

// Same format in and out: the pixel bits are copied, the rows flipped for a
// top-down source, and the padding of the section is left alone.
TEST(ConvertRows, CopiesEachDepthExactly) {
    for (WORD depth : std::vector<WORD>{1, 4, 8, 16, 24, 32}) {
        SCOPED_TRACE(depth);
        for (bool topDown : {false, true}) {
            const int width = 5;
            DibFormat src = Format(width, 3, depth, std::vector<std::uint32_t>(depth <= 8 ? 2 : 0));
            src.topDown = topDown;
            Bytes bits(src.stride * 3);
            for (std::size_t i = 0; i < bits.size(); ++i) {
                bits[i] = static_cast<std::uint8_t>(i * 37 + 11);
            }
            Section s(Format(width, 3, depth, std::vector<std::uint32_t>(depth <= 8 ? 2 : 0)));
            ASSERT_EQ(Convert(s, src, BI_RGB, bits), 3);
            const std::size_t usedBits = static_cast<std::size_t>(width) * depth;
            for (int y = 0; y < 3; ++y) {
                const std::uint8_t* from = bits.data() + (topDown ? y : 2 - y) * src.stride;
                const std::uint8_t* to = s.Row(y);
                for (std::size_t bit = 0; bit < src.stride * 8; ++bit) {
                    const int want = bit < usedBits ? (from[bit / 8] >> (7 - bit % 8)) & 1 : 0;
                    ASSERT_EQ((to[bit / 8] >> (7 - bit % 8)) & 1, want)
                        << "row " << y << " bit " << bit;
                }
            }
        }
    }
}

// Rows from a first row above 0 land on the picture rows they stand for,
// counted from the bottom, whichever order the data holds them in.
TEST(ConvertRows, RowsFromAFirstRowAboveZeroLandInTheirPlace) {
    for (bool topDown : {false, true}) {
        DibFormat src = Format(1, 4, 8, {0, 0x010101, 0x020202});
        src.topDown = topDown;
        Section s(Format(1, 4, 8, {0, 0x010101, 0x020202}), 0xEE);
        // Two rows of one pixel each, padded to 4 bytes: picture rows 1 and 2.
        ASSERT_EQ(Convert(s, src, BI_RGB, {1, 0, 0, 0, 2, 0, 0, 0}, 1, 2), 2) << topDown;
        // From the top: row 3 - b holds bottom row b.
        EXPECT_EQ(s.Row(3)[0], 0xEE) << topDown;
        EXPECT_EQ(s.Row(2)[0], topDown ? 2 : 1) << topDown;
        EXPECT_EQ(s.Row(1)[0], topDown ? 1 : 2) << topDown;
        EXPECT_EQ(s.Row(0)[0], 0xEE) << topDown;
    }
}

TEST(ConvertRows, ConvertsBetweenFormats) {
    // 8-bit palette into 24 bits; index 3 lies beyond the 3-entry table: black.
    {
        const DibFormat src = Format(4, 1, 8, {0x0000FF, 0x00FF00, 0xFF0000});
        Section s(Format(4, 1, 24), 0x55);
        ASSERT_EQ(Convert(s, src, BI_RGB, {0, 1, 2, 3}), 1);
        const std::uint8_t want[] = {0xFF, 0, 0, 0, 0xFF, 0, 0, 0, 0xFF, 0, 0, 0};
        EXPECT_EQ(0, std::memcmp(s.Row(0), want, sizeof want));
    }
    // 24 bits into an 8-bit palette: the nearest entry.
    {
        const DibFormat src = Format(3, 1, 24);
        Section s(Format(3, 1, 8, {0x000000, 0xFFFFFF, 0xFF0000, 0x0000F0}));
        ASSERT_EQ(Convert(s, src, BI_RGB, {250, 250, 250, 0, 10, 200, 10, 10, 10, 0, 0, 0}), 1);
        EXPECT_EQ(s.Row(0)[0], 1);
        EXPECT_EQ(s.Row(0)[1], 2);
        EXPECT_EQ(s.Row(0)[2], 0);
    }
    // 4-bit palette into a 1-bit one, through colours.
    {
        const DibFormat src = Format(4, 1, 4, {0x000000, 0xFFFFFF, 0x101010, 0xF0F0F0});
        Section s(Format(4, 1, 1, {0x000000, 0xFFFFFF}));
        ASSERT_EQ(Convert(s, src, BI_RGB, {0x01, 0x23, 0, 0}), 1);
        EXPECT_EQ(s.Row(0)[0], 0x50);  // 0 1 0 1, then 4 bits untouched
    }
    // 16-bit 5-6-5 into 24 bits: full-range widening.
    {
        const DibFormat src = Format(2, 1, 16, {}, 0xF800, 0x07E0, 0x001F);
        Section s(Format(2, 1, 24));
        // pixel 0: r 31, g 32, b 1; pixel 1: r 0, g 63, b 16
        ASSERT_EQ(Convert(s, src, BI_BITFIELDS, {0x01, 0xFC, 0xF0, 0x07}), 1);
        const std::uint8_t want[] = {8, 130, 255, 132, 255, 0};
        EXPECT_EQ(0, std::memcmp(s.Row(0), want, sizeof want));
    }
    // Odd masks: 32-bit 3-10-3 with a channel wider than 8 bits, into 5-5-5.
    {
        const DibFormat src = Format(1, 1, 32, {}, 0xE000, 0x1FF8, 0x0007);
        Section s(Format(1, 1, 16));
        // r 7 -> 255 -> 31; g 512 -> 128 -> 16; b 3 -> 109 -> 13
        const std::uint32_t p = (7u << 13) | (512u << 3) | 3u;
        ASSERT_EQ(Convert(s, src, BI_BITFIELDS, {std::uint8_t(p), std::uint8_t(p >> 8), 0, 0}), 1);
        const unsigned got = s.Row(0)[0] | (s.Row(0)[1] << 8);
        EXPECT_EQ(got, (31u << 10) | (16u << 5) | 13u);
    }
    // 24 bits into a 32-bit section with an alpha mask: opaque.
    {
        Section s(Format(1, 1, 32, {}, 0xFF, 0xFF00, 0xFF0000, 0xFF000000));
        ASSERT_EQ(Convert(s, Format(1, 1, 24), BI_RGB, {1, 2, 3, 0}), 1);
        const std::uint8_t want[] = {3, 2, 1, 0xFF};
        EXPECT_EQ(0, std::memcmp(s.Row(0), want, sizeof want));
    }
    // A wider source is cut to the section's width.
    {
        Section s(Format(2, 1, 8, {0}), 0x77);
        ASSERT_EQ(Convert(s, Format(6, 1, 8, {0}), BI_RGB, {1, 2, 3, 4, 5, 6, 0, 0}), 1);
        EXPECT_EQ(s.Row(0)[0], 1);
        EXPECT_EQ(s.Row(0)[1], 2);
        EXPECT_EQ(s.Row(0)[2], 0x77);
    }
}

TEST(ConvertRows, ConvertsOnlyTheRowsTheBlockHolds) {
    const DibFormat src = Format(4, 4, 8, {0});
    // Four rows asked, two and a pixel present: the two bottom rows set, the
    // pixel of the row cut short kept, the rest untouched.
    Section s(src, 0x77);
    EXPECT_EQ(Convert(s, src, BI_RGB, Bytes(9, 1)), 2);
    EXPECT_EQ(s.Row(3)[0], 1);
    EXPECT_EQ(s.Row(2)[3], 1);
    EXPECT_EQ(s.Row(1)[0], 1);
    EXPECT_EQ(s.Row(1)[1], 0x77);
    EXPECT_EQ(s.Row(0)[0], 0x77);
    // Rows 1 and 2 only, counted from the bottom.
    Section t(src, 0x77);
    EXPECT_EQ(Convert(t, src, BI_RGB, {1, 1, 1, 1, 2, 2, 2, 2}, 1, 2), 2);
    EXPECT_EQ(t.Row(3)[0], 0x77);
    EXPECT_EQ(t.Row(2)[0], 1);
    EXPECT_EQ(t.Row(1)[0], 2);
    EXPECT_EQ(t.Row(0)[0], 0x77);
    // Rows beyond the source picture are not converted.
    Section u(src, 0x77);
    EXPECT_EQ(Convert(u, src, BI_RGB, Bytes(64, 3), 3, 5), 1);
    EXPECT_EQ(u.Row(0)[0], 3);
    EXPECT_EQ(u.Row(1)[0], 0x77);
    EXPECT_EQ(Convert(u, src, BI_RGB, Bytes(64, 3), 4, 1), 0);
    // A top-down block that stops early fills the top rows.
    DibFormat top = src;
    top.topDown = true;
    Section v(src, 0x77);
    EXPECT_EQ(Convert(v, top, BI_RGB, {5, 5, 5, 5, 6, 6, 6}), 1);
    EXPECT_EQ(v.Row(0)[0], 5);
    EXPECT_EQ(v.Row(1)[2], 6);
    EXPECT_EQ(v.Row(1)[3], 0x77);
    EXPECT_EQ(v.Row(2)[0], 0x77);
}

// The picture of an 8 x 3 section after an RLE stream, top row first, as
// palette indices; 7 marks what the stream left untouched.
std::vector<std::string> RleResult(bool rle8, const Bytes& stream, int* rows) {
    const DibFormat src = Format(8, 3, rle8 ? 8 : 4, std::vector<std::uint32_t>(16));
    Section s(src, 0x77);
    *rows = Convert(s, src, rle8 ? BI_RLE8 : BI_RLE4, stream);
    std::vector<std::string> out;
    for (int y = 0; y < 3; ++y) {
        std::string line;
        for (int x = 0; x < 8; ++x) {
            const std::uint8_t* row = s.Row(y);
            const int v = rle8 ? row[x] : (x % 2 ? row[x / 2] & 15 : row[x / 2] >> 4);
            line +=
                v == (rle8 ? 0x77 : 7) ? '.' : static_cast<char>(v < 10 ? '0' + v : 'a' + v - 10);
        }
        out.push_back(line);
    }
    return out;
}

struct RleCase {
    const char* name;
    bool rle8;
    Bytes stream;
    int rows;
    std::vector<std::string> picture;  // top row first; '.' untouched
};

TEST(ConvertRows, DecodesRleStreams) {
    const RleCase cases[] = {
        {"RLE8 runs, end of line, end of bitmap",
         true,
         {3, 1, 5, 2, 0, 0, 2, 4, 0, 1},
         3,
         {"........", "44......", "11122222"}},
        {"RLE8 odd literal with padding",
         true,
         {0, 3, 5, 6, 8, 0, 1, 9, 0, 1},
         3,
         {"........", "........", "5689...."}},
        {"RLE8 delta",
         true,
         {1, 1, 0, 2, 3, 1, 2, 2, 0, 1},
         3,
         {"........", "....22..", "1......."}},
        {"RLE8 delta past the last row ends the picture",
         true,
         {1, 1, 0, 2, 0, 5, 1, 3},
         3,
         {"........", "........", "1......."}},
        {"RLE8 run past the row end is clipped",
         true,
         {12, 4, 0, 0, 1, 5, 0, 1},
         3,
         {"........", "5.......", "44444444"}},
        {"RLE8 literal past the row end is clipped",
         true,
         {7, 1, 0, 4, 2, 3, 4, 5, 0, 1},
         3,
         {"........", "........", "11111112"}},
        {"RLE8 end of line past the last row",
         true,
         {0, 0, 0, 0, 0, 0, 9, 9},
         3,
         {"........", "........", "........"}},
        {"RLE8 stream ends without an end code",
         true,
         {0, 0, 2, 6},
         1,
         {"........", "66......", "........"}},
        {"RLE8 stream ends inside a literal",
         true,
         {0, 4, 1, 2},
         0,
         {"........", "........", "12......"}},
        {"RLE4 runs alternate the two colours",
         false,
         {5, 0x12, 0, 0, 3, 0xAB, 0, 1},
         3,
         {"........", "aba.....", "12121..."}},
        {"RLE4 literals, odd count and padding",
         false,
         {0, 3, 0x45, 0x60, 0, 5, 0x12, 0x34, 0x50, 0, 0, 1},
         3,
         {"........", "........", "45612345"}},
        {"RLE4 delta and early end of bitmap",
         false,
         {0, 2, 2, 1, 2, 0xCC, 0, 1, 2, 0xDD},
         3,
         {"........", "..cc....", "........"}},
        {"RLE4 long run clipped",
         false,
         {255, 0x9F, 0, 1},
         3,
         {"........", "........", "9f9f9f9f"}},
    };
    for (const RleCase& c : cases) {
        SCOPED_TRACE(c.name);
        int rows = -1;
        EXPECT_EQ(RleResult(c.rle8, c.stream, &rows), c.picture);
        EXPECT_EQ(rows, c.rows);
    }
}

TEST(ConvertRows, DecodesRleIntoOtherFormats) {
    // RLE8 into a 24-bit section: indices become colours, skipped pixels stay.
    const DibFormat src = Format(3, 1, 8, {0x000000, 0x102030});
    Section s(Format(3, 1, 24), 0x77);
    EXPECT_EQ(Convert(s, src, BI_RLE8, {1, 1, 0, 2, 1, 0, 1, 9, 0, 1}), 1);
    const std::uint8_t want[] = {0x30, 0x20, 0x10, 0x77, 0x77, 0x77, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(s.Row(0), want, sizeof want));
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
        EXPECT_EQ(veerpic::pixels::DibRowAndImageSize(c.width, c.height, c.bits, &stride, &size),
                  c.fits)
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
    EXPECT_TRUE(veerpic::pixels::DibRowAndImageSize(1, rows, 32, &stride, &size));
    EXPECT_FALSE(veerpic::pixels::DibRowAndImageSize(1, rows + 1, 32, &stride, &size));
}

}  // namespace
