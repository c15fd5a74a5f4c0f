// The platform image loader as a service: what it decodes comes out as a
// section, what it refuses leaves the decoder's reason in the last-error
// code and nothing held, and it opens only BMP files from a path. What it
// decodes, and how, is tested at the decoder (tests/pixels).
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::DataPath;

constexpr UINT kLoadFlags = LR_LOADFROMFILE | LR_VGACOLOR | LR_CREATEDIBSECTION;

HBITMAP Load(const std::string& path) {
    return static_cast<HBITMAP>(LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, kLoadFlags));
}

TEST(LoadImageA, HandsOverTheSectionOrTheReason) {
    veerpic_test::TempDir dir;
    const long before = GetLiveCounts().bitmaps;
    HBITMAP good = Load(DataPath("bmpsuite/g/pal8rle.bmp"));
    ASSERT_NE(good, nullptr);
    BITMAP bm{};
    ASSERT_NE(GetObjectA(good, sizeof bm, &bm), 0);
    EXPECT_EQ(bm.bmBitsPixel, 8);
    EXPECT_EQ(GetLiveCounts().bitmaps, before + 1);
    EXPECT_TRUE(DeleteObject(good));
    // A stream cut short: the section made for it is released again.
    Bytes cut = veerpic_test::ReadBytes(DataPath("bmpsuite/g/pal8rle.bmp"));
    cut.resize(cut.size() - 1);
    veerpic_test::WriteBytes(dir.File("cut.bmp"), cut);
    SetLastError(0);
    EXPECT_EQ(Load(dir.File("cut.bmp")), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    // A description the decoder refuses as no picture can have it.
    Bytes planes = veerpic_test::ReadBytes(DataPath("bmpsuite/g/rgb24.bmp"));
    planes[26] = 2;
    veerpic_test::WriteBytes(dir.File("planes.bmp"), planes);
    EXPECT_EQ(Load(dir.File("planes.bmp")), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.bitmaps, before);
    EXPECT_EQ(live.files, 0);
}

TEST(LoadImageA, RefusesWhatIsNoBmpFile) {
    veerpic_test::TempDir dir;
    SetLastError(0);
    EXPECT_EQ(Load(dir.File("missing.bmp")), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(Load(dir.path().string()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);  // a folder

#if !defined(_WIN32)
    // A device of endless zeros may not hang; a FIFO is read once its writer
    // comes.
    EXPECT_EQ(Load("/dev/zero"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    const std::string fifo = dir.File("fifo.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {
        const veerpic_test::FifoWriter writer(fifo, Bytes(100, 'x'));
        EXPECT_EQ(Load(fifo), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
        // What the loader read goes to the next reading of the same path.
        EXPECT_EQ(GetLiveCounts().files, 1);
        HANDLE again = CreateFileA(fifo.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        std::uint8_t buffer[200];
        DWORD got = 0;
        EXPECT_TRUE(ReadFile(again, buffer, sizeof buffer, &got, nullptr));
        EXPECT_EQ(got, 100u);
        EXPECT_TRUE(CloseHandle(again));
    }
    EXPECT_EQ(GetLiveCounts().files, 0);
#endif

    veerpic_test::WriteBytes(dir.File("empty.bmp"), {});
    EXPECT_EQ(Load(dir.File("empty.bmp")), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

TEST(LoadImageA, RefusesOtherTypesAndFlags) {
    const std::string path = DataPath("bmpsuite/g/pal8.bmp");
    struct Call {
        const char* name;
        UINT type;
        int cx, cy;
        UINT flags;
        DWORD error;
    };
    const Call calls[] = {
        {path.c_str(), 1 /* IMAGE_ICON */, 0, 0, kLoadFlags, ERROR_INVALID_PARAMETER},
        {nullptr, IMAGE_BITMAP, 0, 0, kLoadFlags, ERROR_INVALID_PARAMETER},
        {path.c_str(), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION, ERROR_NOT_SUPPORTED},
        {path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE, ERROR_NOT_SUPPORTED},
        {path.c_str(), IMAGE_BITMAP, 0, 0, kLoadFlags | 0x0001, ERROR_NOT_SUPPORTED},
        {path.c_str(), IMAGE_BITMAP, 64, 64, kLoadFlags, ERROR_NOT_SUPPORTED},
    };
    for (const Call& c : calls) {
        SetLastError(0);
        EXPECT_EQ(LoadImageA(nullptr, c.name, c.type, c.cx, c.cy, c.flags), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    HBITMAP ok = Load(path);
    EXPECT_NE(ok, nullptr);
    DeleteObject(ok);
}

// A file is read straight into its section: the pixels land where the
// decoder puts them, and what a row stores after its pixels (padding, the
// unused bits of a last byte) is not carried over.
TEST(LoadImageA, ReadsFilesStraightIntoTheSectionWithCleanRowEnds) {
    struct Case {
        std::int32_t width, height;
        std::uint16_t bitCount;
        Bytes pixels;    // as stored, padding included
        Bytes expected;  // the section's bits
    };
    const std::vector<std::uint32_t> two = {0x000000, 0xFFFFFF};
    const Case cases[] = {
        // 24 bits, one pixel a row: three padding bytes.
        {1, 2, 24, {1, 2, 3, 0xAB, 4, 5, 6, 0xCD}, {1, 2, 3, 0, 4, 5, 6, 0}},
        // Top-down, the same bytes in the same places.
        {1, -2, 24, {1, 2, 3, 0xAB, 4, 5, 6, 0xCD}, {1, 2, 3, 0, 4, 5, 6, 0}},
        // 1 bit, three pixels: five unused bits, then padding.
        {3, 1, 1, {0xFF, 0xEE, 0xDD, 0xCC}, {0xE0, 0, 0, 0}},
    };
    veerpic_test::TempDir dir;
    for (const Case& c : cases) {
        const std::string path = dir.File("padded.bmp");
        veerpic_test::WriteBytes(
            path,
            veerpic_test::MakeBmp(c.width, c.height, c.bitCount,
                                  c.bitCount == 1 ? two : std::vector<std::uint32_t>{}, c.pixels));
        HBITMAP loaded = Load(path);
        ASSERT_NE(loaded, nullptr) << c.width << "x" << c.height << "x" << c.bitCount;
        BITMAP bm{};
        ASSERT_NE(GetObjectA(loaded, sizeof bm, &bm), 0);
        const auto* bits = static_cast<const std::uint8_t*>(bm.bmBits);
        EXPECT_EQ(Bytes(bits, bits + c.expected.size()), c.expected)
            << c.width << "x" << c.height << "x" << c.bitCount;
        DeleteObject(loaded);
    }
}

}  // namespace
