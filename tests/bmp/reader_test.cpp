#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <string>

#include "bmp/bmp_reader.h"
#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic::LoadBitmapFile;
using veerpic_test::Bytes;
using veerpic_test::TempDir;

void ExpectNothingHeld() {
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.bitmaps, 0);
    EXPECT_EQ(live.dcs, 0);
    EXPECT_EQ(live.heapBlocks, 0);
    EXPECT_EQ(live.files, 0);
}

struct HeaderCase {
    const char* name;
    WORD type;
    DWORD size;
    WORD reserved1;
    WORD reserved2;
    DWORD offBits;
    bool passes;
};

void PrintTo(const HeaderCase& c, std::ostream* os) {
    *os << c.name;
}

class FileHeaderTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(FileHeaderTest, Judged) {
    const HeaderCase& c = GetParam();
    BITMAPFILEHEADER h{c.type, c.size, c.reserved1, c.reserved2, c.offBits};
    EXPECT_EQ(veerpic::BmpFileHeaderPasses(h), c.passes);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, FileHeaderTest,
    testing::Values(HeaderCase{"sound", 0x4D42, 1000, 0, 0, 54, true},
                    HeaderCase{"swapped_signature", 0x424D, 1000, 0, 0, 54, false},
                    HeaderCase{"other_signature", 0x4142, 1000, 0, 0, 54, false},
                    HeaderCase{"reserved1", 0x4D42, 1000, 1, 0, 54, false},
                    HeaderCase{"reserved2", 0x4D42, 1000, 0, 0x8000, 54, false},
                    HeaderCase{"size_equals_offset", 0x4D42, 54, 0, 0, 54, false},
                    HeaderCase{"size_below_offset", 0x4D42, 53, 0, 0, 54, false},
                    HeaderCase{"offset_14", 0x4D42, 1000, 0, 0, 14, false},
                    HeaderCase{"offset_15", 0x4D42, 1000, 0, 0, 15, true},
                    HeaderCase{"offset_1078", 0x4D42, 2000, 0, 0, 1078, true},
                    HeaderCase{"offset_1079", 0x4D42, 2000, 0, 0, 1079, false},
                    HeaderCase{"huge_size_passes", 0x4D42, 0x80000000u, 0, 0, 54, true},
                    HeaderCase{"unsigned_offset", 0x4D42, 0xFFFFFFFFu, 0, 0, 0x80000000u, false}),
    [](const testing::TestParamInfo<HeaderCase>& p) { return std::string(p.param.name); });

// A 4 x 3 24-bit picture whose pixel (x, y) from the top has blue x, green y.
Bytes SmallPicture(std::int32_t height) {
    Bytes pixels;
    const std::int32_t rows = height < 0 ? -height : height;
    for (std::int32_t r = 0; r < rows; ++r) {
        const std::int32_t y = height < 0 ? r : rows - 1 - r;
        for (int x = 0; x < 4; ++x) {
            pixels.push_back(static_cast<std::uint8_t>(10 * x));
            pixels.push_back(static_cast<std::uint8_t>(10 * y));
            pixels.push_back(200);
        }
    }
    return veerpic_test::MakeBmp(4, height, 24, {}, pixels);
}

// The 24-bit rows of `bitmap`, bottom row first, as GetDIBits delivers them.
Bytes Rows(HBITMAP bitmap) {
    BITMAP record{};
    EXPECT_NE(GetObjectA(bitmap, sizeof record, &record), 0);
    Bytes rows(static_cast<std::size_t>(record.bmWidthBytes) * record.bmHeight);
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colors[256];
    } info{};
    info.header = {40, record.bmWidth, record.bmHeight, 1, record.bmBitsPixel, BI_RGB, 0, 0, 0, 0,
                   0};
    HDC dc = CreateCompatibleDC(nullptr);
    EXPECT_NE(GetDIBits(dc, bitmap, 0, static_cast<UINT>(record.bmHeight), rows.data(),
                        reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                        static_cast<DWORD>(rows.size()), sizeof info),
              0);
    DeleteDC(dc);
    return rows;
}

TEST(LoadBitmapFile, MissingFileKeepsTheOpenReason) {
    TempDir dir;
    EXPECT_EQ(LoadBitmapFile(dir.File("absent.bmp").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LoadBitmapFile(dir.File("absent/x.bmp").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ExpectNothingHeld();
}

TEST(LoadBitmapFile, RefusedHeadersGiveInvalidData) {
    TempDir dir;
    {
        // The same file, sound but cut short, opens on the reader's own path.
        Bytes file = SmallPicture(3);
        file.pop_back();
        veerpic_test::WriteBytes(dir.File("cut.bmp"), file);
        HBITMAP bitmap = LoadBitmapFile(dir.File("cut.bmp").c_str());
        ASSERT_NE(bitmap, nullptr);
        DeleteObject(bitmap);
    }
    struct Damage {
        std::size_t at;
        std::uint8_t value;
    };
    // Each damage breaks exactly one header test of an otherwise sound file.
    const Damage damages[] = {{0, 'M'}, {1, 'B'}, {6, 1}, {9, 1}, {10, 14}, {11, 4}};
    for (const Damage& d : damages) {
        // Cut short, so that the platform loader refuses it and the reader's
        // own header test is what judges it.
        Bytes file = SmallPicture(3);
        file.pop_back();
        file[d.at] = d.value;
        if (d.at == 0) {
            file[1] = 'B';  // "MB", swapped
        }
        const std::string path = dir.File("bad.bmp");
        veerpic_test::WriteBytes(path, file);
        SetLastError(0);
        EXPECT_EQ(LoadBitmapFile(path.c_str()), nullptr) << d.at;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << d.at;
    }
    // bfSize equal to bfOffBits: no pixel data.
    Bytes file = SmallPicture(3);
    file.pop_back();
    file[2] = 54;
    file[3] = file[4] = file[5] = 0;
    veerpic_test::WriteBytes(dir.File("empty.bmp"), file);
    EXPECT_EQ(LoadBitmapFile(dir.File("empty.bmp").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    // Shorter than the file header itself.
    veerpic_test::WriteBytes(dir.File("tiny.bmp"), Bytes{'B', 'M', 1});
    EXPECT_EQ(LoadBitmapFile(dir.File("tiny.bmp").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    ExpectNothingHeld();
}

TEST(LoadBitmapFile, InfoBlockShorterThanItsHeaderIsRefused) {
    TempDir dir;
    // bfOffBits 15..53 pass the header test; the one to 53 bytes of info
    // block cannot hold the 40-byte header it declares.
    for (DWORD offBits : {15u, 30u, 53u}) {
        Bytes file = SmallPicture(3);
        file.erase(file.begin() + offBits, file.begin() + 54);
        file[10] = static_cast<std::uint8_t>(offBits);
        file[2] = static_cast<std::uint8_t>(file.size());
        veerpic_test::WriteBytes(dir.File("short.bmp"), file);
        EXPECT_EQ(LoadBitmapFile(dir.File("short.bmp").c_str()), nullptr) << offBits;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA) << offBits;
    }
    ExpectNothingHeld();
}

TEST(LoadBitmapFile, TopDownAndBottomUpGiveTheSamePicture) {
    TempDir dir;
    veerpic_test::WriteBytes(dir.File("up.bmp"), SmallPicture(3));
    veerpic_test::WriteBytes(dir.File("down.bmp"), SmallPicture(-3));
    HBITMAP up = LoadBitmapFile(dir.File("up.bmp").c_str());
    HBITMAP down = LoadBitmapFile(dir.File("down.bmp").c_str());
    ASSERT_NE(up, nullptr);
    ASSERT_NE(down, nullptr);
    BITMAP record{};
    GetObjectA(down, sizeof record, &record);
    EXPECT_EQ(record.bmHeight, 3);
    const Bytes rows = Rows(up);
    EXPECT_EQ(rows, Rows(down));
    // Bottom row first: its green is the row's distance from the top, 2.
    EXPECT_EQ(rows[1], 20);
    EXPECT_EQ(rows[3], 10);
    DeleteObject(up);
    DeleteObject(down);
    ExpectNothingHeld();
}

TEST(LoadBitmapFile, PlatformLoaderLeavesTheLastErrorAlone) {
    TempDir dir;
    veerpic_test::WriteBytes(dir.File("whole.bmp"), SmallPicture(3));
    SetLastError(12345);
    HBITMAP bitmap = LoadBitmapFile(dir.File("whole.bmp").c_str());
    ASSERT_NE(bitmap, nullptr);
    EXPECT_EQ(GetLastError(), 12345u);
    DeleteObject(bitmap);
}

TEST(LoadBitmapFile, TruncatedFileOpensWithMissingRowsBlack) {
    TempDir dir;
    // Only the first stored row survives: the bottom row of a bottom-up
    // file, the top row of a top-down one.
    for (std::int32_t height : {3, -3}) {
        Bytes file = SmallPicture(height);
        file.resize(54 + 12);
        veerpic_test::WriteBytes(dir.File("cut.bmp"), file);
        SetLastError(12345);
        HBITMAP bitmap = LoadBitmapFile(dir.File("cut.bmp").c_str());
        ASSERT_NE(bitmap, nullptr) << height;
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        const Bytes rows = Rows(bitmap);  // bottom row first
        const std::size_t kept = height > 0 ? 0 : 24;
        EXPECT_EQ(rows[kept + 1], height > 0 ? 20 : 0) << height;
        EXPECT_EQ(rows[kept + 2], 200) << height;
        Bytes black = rows;
        black.erase(black.begin() + static_cast<std::ptrdiff_t>(kept),
                    black.begin() + static_cast<std::ptrdiff_t>(kept + 12));
        EXPECT_EQ(black, Bytes(24, 0)) << height;
        DeleteObject(bitmap);
    }
    ExpectNothingHeld();
}

TEST(LoadBitmapFile, ClaimedSizeBeyondTheFileAllocatesOnlyWhatIsThere) {
    TempDir dir;
    Bytes file = SmallPicture(3);
    file[2] = 0;
    file[3] = 0;
    file[4] = 0;
    file[5] = 0xC0;  // bfSize about 3 GB
    veerpic_test::WriteBytes(dir.File("claims.bmp"), file);
    veerpic_test::WriteBytes(dir.File("plain.bmp"), SmallPicture(3));
    HBITMAP bitmap = LoadBitmapFile(dir.File("claims.bmp").c_str());
    HBITMAP plain = LoadBitmapFile(dir.File("plain.bmp").c_str());
    ASSERT_NE(bitmap, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(Rows(bitmap), Rows(plain));
    DeleteObject(bitmap);
    DeleteObject(plain);
    ExpectNothingHeld();
}

TEST(LoadBitmapFile, RefusedDescriptionKeepsTheCreationReason) {
    TempDir dir;
    Bytes file = SmallPicture(3);
    file[26] = 2;  // biPlanes 2
    veerpic_test::WriteBytes(dir.File("planes.bmp"), file);
    EXPECT_EQ(LoadBitmapFile(dir.File("planes.bmp").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ExpectNothingHeld();
}

struct ProportionCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    WORD bits;
    DWORD compression;
    std::size_t present;  // bytes of pixel data in the file
    bool opens;
    bool decoded = false;  // refused only once its stream has been decoded
};

// Missing pixels open (as black) up to 16 Mi of them, or up to as many as
// are present; a compressed stream stands for at most 128 pixels a byte.
// Beyond that a few bytes would stand for gigabytes of picture.
TEST(LoadBitmapFile, PictureMustBeInProportionToTheFile) {
    const ProportionCase cases[] = {
        {"18000 x 18000 from 4 bytes", 18000, 18000, 24, BI_RGB, 4, false},
        {"3000 x 3000 from 4 bytes", 3000, 3000, 24, BI_RGB, 4, true},
        {"1 bit 22000 x 22000 from 16 bytes", 22000, 22000, 1, BI_RGB, 16, false},
        {"1 bit 4000 x 4000 from 16 bytes", 4000, 4000, 1, BI_RGB, 16, true},
        {"1 bit 6000 x 6000, half its rows", 6000, 6000, 1, BI_RGB, 752 * 3000, true},
        {"1 bit 6000 x 6000, a row less", 6000, 6000, 1, BI_RGB, 752 * 2999, false},
        {"rle 11580 x 11580 from 2 bytes", 11580, 11580, 8, BI_RLE8, 2, false},
        {"rle 4000 x 4000 from 2 bytes", 4000, 4000, 8, BI_RLE8, 2, true},
        {"rle4 16384 x 8192 from 2 bytes", 16384, 8192, 4, BI_RLE4, 2, false},
        // Enough bytes to stand for half the picture, but only end-of-line codes.
        {"rle 6000 x 6000 of line ends", 6000, 6000, 8, BI_RLE8, 144000, false, true},
    };
    // Sections' pixels are counted as they are allocated: a refused file
    // allocates none.
    static std::size_t allocated;
    static const platform::BlockAllocator counting = {[](std::size_t bytes) -> void* {
                                                          allocated += bytes;
                                                          return std::calloc(bytes, 1);
                                                      },
                                                      [](void* block) { std::free(block); }};
    TempDir dir;
    for (const ProportionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::uint32_t> table(c.bits <= 8 ? std::size_t{1} << c.bits : 0);
        const Bytes pixels(c.present, 0);
        const std::string path = dir.File("in.bmp");
        veerpic_test::WriteBytes(
            path, veerpic_test::MakeBmp(c.width, c.height, c.bits, table, pixels, c.compression));
        allocated = 0;
        platform::SetBlockAllocator(&counting);
        HBITMAP bitmap = LoadBitmapFile(path.c_str());
        const DWORD reason = GetLastError();
        DeleteObject(bitmap);
        platform::SetBlockAllocator(nullptr);
        EXPECT_EQ(bitmap != nullptr, c.opens);
        if (bitmap == nullptr) {
            EXPECT_EQ(reason, ERROR_INVALID_DATA);
            // Only a stream whose bytes could stand for its picture is decoded.
            EXPECT_EQ(allocated == 0, !c.decoded);
        }
        ExpectNothingHeld();
    }
}

}  // namespace
