// The BMP decoder on the conformance suite and on broken files: every good
// file decodes at its own depth to its reference picture, the questionable
// and bad files are decoded or refused as DECISIONS.md records, and files
// shorter than their headers say are refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "pixels/bmp_decode.h"
#include "pixels/image.h"
#include "support/test_support.h"

namespace {

using namespace veerpic::pixels;
using veerpic_test::Bytes;
using veerpic_test::DataPath;
using DWORD = std::uint32_t;

// `bytes` decoded as the loader decodes a file of that length, or a stream
// of unknown length (`length` empty); nothing, with the reason in *why, when
// the decoder refuses them.
std::optional<Image> Decode(const Bytes& bytes, std::optional<std::uint64_t> length, Status* why) {
    BmpLayout layout;
    *why = InspectBmp(
        std::span<const std::uint8_t>(bytes).first(std::min(bytes.size(), kBmpHeadBytes)), length,
        &layout);
    if (*why == Status::kOk && layout.pixelOffset > bytes.size()) {
        *why = Status::kInvalidData;
    }
    Image image;
    if (*why == Status::kOk) {
        *why = image.Allocate(layout.format);
    }
    if (*why == Status::kOk) {
        const std::size_t from = static_cast<std::size_t>(layout.pixelOffset);
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(bytes.size() - from, layout.pixelBytes));
        *why = DecodeBmpPixels(layout, std::span<const std::uint8_t>(bytes).subspan(from, count),
                               image.View());
    }
    if (*why != Status::kOk) {
        return std::nullopt;
    }
    return image;
}

// The file at `path` decoded as a file; read as a stream, the same bytes
// must give the same picture or the same refusal.
std::optional<Image> Load(const std::string& path, Status* why) {
    const Bytes bytes = veerpic_test::ReadBytes(path);
    std::optional<Image> asFile = Decode(bytes, bytes.size(), why);
    Status streamWhy = Status::kOk;
    const std::optional<Image> asStream = Decode(bytes, std::nullopt, &streamWhy);
    EXPECT_EQ(asFile.has_value(), asStream.has_value()) << path;
    if (asFile && asStream) {
        EXPECT_EQ(asFile->bits, asStream->bits) << path;
    } else if (!asFile && !asStream) {
        EXPECT_EQ(*why, streamWhy) << path;
    }
    return asFile;
}

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // top row first, 3 bytes a pixel
};

Picture ReadPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int max = 0;
    Picture p;
    in >> magic >> p.width >> p.height >> max;
    in.get();
    p.rgb.resize(static_cast<std::size_t>(p.width) * p.height * 3);
    in.read(reinterpret_cast<char*>(p.rgb.data()), static_cast<std::streamsize>(p.rgb.size()));
    EXPECT_TRUE(magic == "P6" && max == 255 && in) << path;
    return p;
}

// The section's picture as RGB, decoded here from its bits and format with
// floating-point full-range scaling of the masks.
std::uint8_t Channel(std::uint32_t pixel, DWORD mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1u) == 0) {
        ++shift;
    }
    const double max = static_cast<double>(mask >> shift);
    const double v = static_cast<double>((pixel & mask) >> shift);
    return static_cast<std::uint8_t>(std::lround(v * 255.0 / max));
}

Picture Expand(Image& image) {
    const DibFormat& f = image.format;
    const struct { int bmBitsPixel; } bm{f.bitCount};
    Picture p;
    p.width = f.width;
    p.height = f.height;
    for (int y = 0; y < p.height; ++y) {
        const std::uint8_t* row = image.View().RowFromTop(y);
        for (int x = 0; x < p.width; ++x) {
            std::uint8_t r = 0, g = 0, b = 0;
            if (bm.bmBitsPixel <= 8) {
                const int bitPos = x * bm.bmBitsPixel;
                const int index = (row[bitPos / 8] >> (8 - bm.bmBitsPixel - bitPos % 8)) &
                                  ((1 << bm.bmBitsPixel) - 1);
                const RGBQUAD q = f.colors[index];
                r = q.rgbRed, g = q.rgbGreen, b = q.rgbBlue;
            } else if (bm.bmBitsPixel == 24) {
                b = row[3 * x], g = row[3 * x + 1], r = row[3 * x + 2];
            } else {
                std::uint32_t v = 0;
                for (int i = bm.bmBitsPixel / 8 - 1; i >= 0; --i) {
                    v = (v << 8) | row[x * bm.bmBitsPixel / 8 + i];
                }
                r = Channel(v, f.redMask), g = Channel(v, f.greenMask), b = Channel(v, f.blueMask);
            }
            p.rgb.insert(p.rgb.end(), {r, g, b});
        }
    }
    return p;
}

// kWithin1 is for files whose encoder rounded the low bits of wide channels
// its own way: the suite allows one level either way there.
enum class Compare { kExact, kWithin1, k5Bit, k5BitG1 };

// Number of channel values that differ beyond what the mode allows.
int Mismatches(const Picture& got, const Picture& want, Compare mode) {
    if (got.width != want.width || got.height != want.height) {
        return -1;
    }
    int bad = 0;
    for (std::size_t i = 0; i < got.rgb.size(); ++i) {
        const int a = got.rgb[i], b = want.rgb[i];
        if (mode == Compare::kExact) {
            bad += a != b;
        } else if (mode == Compare::kWithin1) {
            bad += std::abs(a - b) > 1;
        } else {
            const int d = std::abs((a >> 3) - (b >> 3));
            bad += d > ((mode == Compare::k5BitG1 && i % 3 == 1) ? 1 : 0);
        }
    }
    return bad;
}

struct SuiteCase {
    const char* file;       // under bmpsuite/
    bool decoded;           // false: refused
    int bitCount;           // the section's depth when decoded
    const char* reference;  // ref/NAME.ppm, or "" when there is none
    Compare compare;
    Status error;  // the decoder's answer when refused
};

std::ostream& operator<<(std::ostream& os, const SuiteCase& c) {
    return os << c.file;
}

class SuiteFile : public ::testing::TestWithParam<SuiteCase> {};

TEST_P(SuiteFile, DecodesOrRefusesAsRecorded) {
    const SuiteCase& c = GetParam();
    Status why = Status::kOk;
    std::optional<Image> image = Load(DataPath(std::string("bmpsuite/") + c.file), &why);
    if (!c.decoded) {
        EXPECT_FALSE(image);
        EXPECT_EQ(why, c.error);
        return;
    }
    ASSERT_TRUE(image) << "refused: " << static_cast<int>(why);
    EXPECT_EQ(image->format.bitCount, c.bitCount);
    EXPECT_EQ(image->format.stride % 4, 0u);
    if (*c.reference != '\0') {
        const Picture want = ReadPpm(DataPath(std::string("bmpsuite/ref/") + c.reference));
        EXPECT_EQ(Mismatches(Expand(*image), want, c.compare), 0);
    }
}

constexpr Compare E = Compare::kExact;
constexpr Compare F = Compare::k5Bit;
constexpr Compare G = Compare::k5BitG1;
constexpr Compare W = Compare::kWithin1;
constexpr Status kParam = Status::kInvalidParameter;
constexpr Status kData = Status::kInvalidData;

const SuiteCase kGood[] = {
    {"g/pal1.bmp", true, 1, "pal1.ppm", E, Status::kOk},
    {"g/pal1bg.bmp", true, 1, "pal1bg.ppm", E, Status::kOk},
    {"g/pal1wb.bmp", true, 1, "pal1.ppm", E, Status::kOk},
    {"g/pal4.bmp", true, 4, "pal4.ppm", E, Status::kOk},
    {"g/pal4gs.bmp", true, 4, "pal4gs.ppm", E, Status::kOk},
    {"g/pal4rle.bmp", true, 4, "pal4.ppm", E, Status::kOk},
    {"g/pal8-0.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8gs.bmp", true, 8, "pal8gs.ppm", E, Status::kOk},
    {"g/pal8nonsquare.bmp", true, 8, "pal8nonsquare.ppm", E, Status::kOk},
    {"g/pal8os2.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8rle.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8topdown.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8v4.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8v5.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"g/pal8w124.bmp", true, 8, "pal8w124.ppm", E, Status::kOk},
    {"g/pal8w125.bmp", true, 8, "pal8w125.ppm", E, Status::kOk},
    {"g/pal8w126.bmp", true, 8, "pal8w126.ppm", E, Status::kOk},
    {"g/rgb16-565.bmp", true, 16, "rgb16-565.ppm", G, Status::kOk},
    {"g/rgb16-565pal.bmp", true, 16, "rgb16-565.ppm", G, Status::kOk},
    {"g/rgb16.bmp", true, 16, "rgb16.ppm", F, Status::kOk},
    {"g/rgb16bfdef.bmp", true, 16, "rgb16.ppm", F, Status::kOk},
    {"g/rgb24.bmp", true, 24, "rgb24.ppm", E, Status::kOk},
    {"g/rgb24pal.bmp", true, 24, "rgb24.ppm", E, Status::kOk},
    {"g/rgb32.bmp", true, 32, "rgb24.ppm", E, Status::kOk},
    {"g/rgb32bf.bmp", true, 32, "rgb24.ppm", E, Status::kOk},
    {"g/rgb32bfdef.bmp", true, 32, "rgb24.ppm", E, Status::kOk},
};
INSTANTIATE_TEST_SUITE_P(Good, SuiteFile, ::testing::ValuesIn(kGood));

// As tests/data/bmpsuite/DECISIONS.md records them.
const SuiteCase kQuestionable[] = {
    {"q/pal1huffmsb.bmp", false, 0, "", E, kParam},
    {"q/pal1p1.bmp", true, 1, "pal1p1.ppm", E, Status::kOk},
    {"q/pal2.bmp", false, 0, "", E, kParam},
    {"q/pal2color.bmp", false, 0, "", E, kParam},
    {"q/pal4rlecut.bmp", true, 4, "", E, Status::kOk},
    {"q/pal4rletrns.bmp", true, 4, "pal4rletrns-0.ppm", E, Status::kOk},
    {"q/pal8offs.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2-hs.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2-sz.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2sp.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2v2-16.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2v2-40sz.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2v2-sz.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8os2v2.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8oversizepal.bmp", true, 8, "pal8.ppm", E, Status::kOk},
    {"q/pal8rlecut.bmp", true, 8, "", E, Status::kOk},
    {"q/pal8rletrns.bmp", true, 8, "pal8rletrns-0.ppm", E, Status::kOk},
    {"q/rgb16-231.bmp", true, 16, "rgb16-231.ppm", E, Status::kOk},
    {"q/rgb16-3103.bmp", true, 16, "rgb16-3103.ppm", E, Status::kOk},
    {"q/rgb16faketrns.bmp", true, 16, "rgb16.ppm", F, Status::kOk},
    {"q/rgb24jpeg.bmp", false, 0, "", E, kParam},
    {"q/rgb24largepal.bmp", true, 24, "rgb24.ppm", E, Status::kOk},
    {"q/rgb24lprof.bmp", true, 24, "rgb24.ppm", E, Status::kOk},
    {"q/rgb24png.bmp", false, 0, "", E, kParam},
    {"q/rgb24rle24.bmp", false, 0, "", E, kParam},
    {"q/rgb32-111110.bmp", true, 32, "rgb24.ppm", W, Status::kOk},
    {"q/rgb32-7187.bmp", true, 32, "rgb32-7187.ppm", E, Status::kOk},
    {"q/rgb32-xbgr.bmp", true, 32, "rgb24.ppm", E, Status::kOk},
    {"q/rgb32fakealpha.bmp", true, 32, "rgb24.ppm", E, Status::kOk},
    {"q/rgb32h52.bmp", true, 32, "rgb24.ppm", E, Status::kOk},
    {"q/rgba16-1924.bmp", true, 16, "rgba16-1924.ppm", E, Status::kOk},
    {"q/rgba16-4444.bmp", true, 16, "rgba16-4444.ppm", E, Status::kOk},
    {"q/rgba16-5551.bmp", true, 16, "rgba16-5551.ppm", E, Status::kOk},
    {"q/rgba32-1.bmp", true, 32, "rgba32.ppm", E, Status::kOk},
    {"q/rgba32-1010102.bmp", true, 32, "rgba32-1010102.ppm", E, Status::kOk},
    {"q/rgba32-2.bmp", true, 32, "rgba32.ppm", E, Status::kOk},
    {"q/rgba32-61754.bmp", true, 32, "rgba32-61754.ppm", E, Status::kOk},
    {"q/rgba32-81284.bmp", true, 32, "rgba32-81284.ppm", E, Status::kOk},
    {"q/rgba32abf.bmp", true, 32, "rgba32.ppm", E, Status::kOk},
    {"q/rgba32h56.bmp", true, 32, "rgba32.ppm", E, Status::kOk},
    {"q/rgba64.bmp", false, 0, "", E, kParam},
};
INSTANTIATE_TEST_SUITE_P(Questionable, SuiteFile, ::testing::ValuesIn(kQuestionable));

const SuiteCase kBad[] = {
    {"b/badbitcount.bmp", false, 0, "", E, kParam},
    {"b/badbitssize.bmp", true, 1, "pal1.ppm", E, Status::kOk},
    {"b/baddens1.bmp", true, 1, "pal1.ppm", E, Status::kOk},
    {"b/baddens2.bmp", true, 1, "pal1.ppm", E, Status::kOk},
    {"b/badfilesize.bmp", true, 1, "pal1.ppm", E, Status::kOk},
    {"b/badheadersize.bmp", false, 0, "", E, kParam},
    {"b/badpalettesize.bmp", false, 0, "", E, kData},
    {"b/badplanes.bmp", false, 0, "", E, kParam},
    {"b/badrle.bmp", true, 8, "", E, Status::kOk},
    {"b/badrle4.bmp", true, 4, "", E, Status::kOk},
    {"b/badrle4bis.bmp", true, 4, "", E, Status::kOk},
    {"b/badrle4ter.bmp", true, 4, "", E, Status::kOk},
    {"b/badrlebis.bmp", true, 8, "", E, Status::kOk},
    {"b/badrleter.bmp", true, 8, "", E, Status::kOk},
    {"b/badwidth.bmp", false, 0, "", E, kParam},
    {"b/pal8badindex.bmp", true, 8, "", E, Status::kOk},
    {"b/reallybig.bmp", false, 0, "", E, kParam},
    {"b/rgb16-880.bmp", false, 0, "", E, kParam},
    {"b/rletopdown.bmp", false, 0, "", E, kParam},
    {"b/shortfile.bmp", false, 0, "", E, kData},
};
INSTANTIATE_TEST_SUITE_P(Bad, SuiteFile, ::testing::ValuesIn(kBad));

// Pixels that the RLE codes skip keep index 0, and indices beyond a short
// colour table show black: the decoded pictures hold only defined colours.
TEST(BmpDecode, SkippedAndMissingEntriesAreDefined) {
    Status why = Status::kOk;
    std::optional<Image> cut = Load(DataPath("bmpsuite/q/pal8rlecut.bmp"), &why);
    ASSERT_TRUE(cut);
    // The stream ends early with an end-of-bitmap code: the top row is never written.
    const std::uint8_t* top = cut->View().RowFromTop(0);
    for (int x = 0; x < cut->format.width; ++x) {
        ASSERT_EQ(top[x], 0) << x;
    }

    std::optional<Image> bad = Load(DataPath("bmpsuite/b/pal8badindex.bmp"), &why);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->format.colorCount, 101u);
    const Picture p = Expand(*bad);
    int beyond = 0;
    for (int y = 0; y < bad->format.height; ++y) {
        const std::uint8_t* row = bad->View().RowFromTop(y);
        for (int x = 0; x < bad->format.width; ++x) {
            if (row[x] >= 101) {
                ++beyond;
                const std::size_t at = (static_cast<std::size_t>(y) * p.width + x) * 3;
                ASSERT_EQ(p.rgb[at] | p.rgb[at + 1] | p.rgb[at + 2], 0);
            }
        }
    }
    EXPECT_GT(beyond, 0);
}

TEST(BmpDecode, KeepsMasksRowOrderAndTable) {
    struct Expect {
        const char* file;
        bool topDown;
        DWORD red, green, blue, alpha;
        std::uint32_t colors;
    };
    const Expect cases[] = {
        {"g/pal8topdown.bmp", true, 0, 0, 0, 0, 252},
        {"g/pal8os2.bmp", false, 0, 0, 0, 0, 256},
        {"g/pal4.bmp", false, 0, 0, 0, 0, 12},
        {"g/rgb16-565.bmp", false, 0xF800, 0x07E0, 0x001F, 0, 0},
        {"g/rgb16.bmp", false, 0x7C00, 0x03E0, 0x001F, 0, 0},
        {"g/rgb32bf.bmp", false, 0xFF000000, 0x00000FF0, 0x00FF0000, 0, 0},
        {"q/rgba32-1.bmp", false, 0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000, 0},
    };
    for (const Expect& e : cases) {
        Status why = Status::kOk;
        std::optional<Image> b = Load(DataPath(std::string("bmpsuite/") + e.file), &why);
        ASSERT_TRUE(b) << e.file;
        EXPECT_EQ(b->format.topDown, e.topDown) << e.file;
        EXPECT_EQ(b->format.redMask, e.red) << e.file;
        EXPECT_EQ(b->format.greenMask, e.green) << e.file;
        EXPECT_EQ(b->format.blueMask, e.blue) << e.file;
        EXPECT_EQ(b->format.alphaMask, e.alpha) << e.file;
        EXPECT_EQ(b->format.colorCount, e.colors) << e.file;
        for (std::uint32_t i = e.colors; i < 256 && b->format.bitCount <= 8; ++i) {
            EXPECT_EQ(b->format.colors[i].rgbRed | b->format.colors[i].rgbGreen |
                          b->format.colors[i].rgbBlue,
                      0)
                << e.file << " entry " << i;
        }
    }
}

// Files cut short anywhere, and files whose fields point past their end, are
// refused; the same bytes complete load.
TEST(BmpDecode, RefusesFilesShorterThanTheirHeadersSay) {
    veerpic_test::TempDir dir;
    struct Cut {
        const char* file;
        std::size_t keep;  // bytes kept; 0 means one byte less than the whole
    };
    const Cut cuts[] = {
        {"g/pal8.bmp", 10},      {"g/pal8.bmp", 14},          {"g/pal8.bmp", 30},
        {"g/pal8.bmp", 54},      {"g/pal8.bmp", 1000},        {"g/pal8.bmp", 1062},
        {"g/pal8.bmp", 0},       {"g/rgb24.bmp", 0},          {"g/pal8rle.bmp", 0},
        {"g/pal8rle.bmp", 4000}, {"g/pal4rle.bmp", 0},        {"g/pal8os2.bmp", 20},
        {"g/rgb16-565.bmp", 60}, {"g/pal8topdown.bmp", 5000},
    };
    for (const Cut& c : cuts) {
        Bytes bytes = veerpic_test::ReadBytes(DataPath(std::string("bmpsuite/") + c.file));
        bytes.resize(c.keep == 0 ? bytes.size() - 1 : c.keep);
        const std::string path = dir.File("cut.bmp");
        veerpic_test::WriteBytes(path, bytes);
        Status why = Status::kOk;
        EXPECT_FALSE(Load(path, &why)) << c.file << " cut at " << bytes.size();
        EXPECT_EQ(why, Status::kInvalidData) << c.file << " cut at " << bytes.size();
    }
}

TEST(BmpDecode, RefusesBrokenFileHeadersAndAbsurdSizes) {
    veerpic_test::TempDir dir;
    const Bytes good = veerpic_test::ReadBytes(DataPath("bmpsuite/g/pal1.bmp"));
    struct Patch {
        std::size_t at;
        std::uint32_t value;
        int bytes;
    };
    const Patch patches[] = {
        {0, 0x424D, 2},       // "MB"
        {10, 14, 4},          // pixels where the info header is
        {10, 1086, 4},        // pixels start at the end of the file
        {10, 0xFFFFFFF0, 4},  // far past it
        {18, 3000000, 4},     // wider than the file holds
        {22, 100000, 4},      // taller than the file holds
    };
    for (const Patch& p : patches) {
        Bytes bytes = good;
        for (int i = 0; i < p.bytes; ++i) {
            bytes[p.at + i] = static_cast<std::uint8_t>(p.value >> (8 * i));
        }
        const std::string path = dir.File("patched.bmp");
        veerpic_test::WriteBytes(path, bytes);
        Status why = Status::kOk;
        EXPECT_FALSE(Load(path, &why)) << "offset " << p.at;
        EXPECT_EQ(why, Status::kInvalidData) << "offset " << p.at;
    }

    // A compressed picture of 900 MB declared by a stream of two bytes.
    const Bytes rle = veerpic_test::MakeBmp(30000, 30000, 8, std::vector<std::uint32_t>(256),
                                            Bytes{0, 1}, BI_RLE8);
    veerpic_test::WriteBytes(dir.File("rle.bmp"), rle);
    Status why = Status::kOk;
    EXPECT_FALSE(Load(dir.File("rle.bmp"), &why));
    EXPECT_EQ(why, Status::kInvalidData);

    // A small compressed picture made mostly of skips still loads.
    const Bytes sparse = veerpic_test::MakeBmp(300, 200, 8, {0x000000, 0xFF0000},
                                               Bytes{0, 2, 10, 150, 2, 1, 0, 1}, BI_RLE8);
    veerpic_test::WriteBytes(dir.File("sparse.bmp"), sparse);
    std::optional<Image> b = Load(dir.File("sparse.bmp"), &why);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->View().RowFromTop(200 - 1 - 150)[10], 1);
    EXPECT_EQ(b->View().RowFromTop(200 - 1 - 150)[12], 0);
}

// A 16-byte OS/2 header whose colour table holds 3 of its 16 four-byte
// entries: the rest are black, and the pixels start right after the three.
TEST(BmpDecode, ShortOs2TableOfFourByteEntries) {
    veerpic_test::TempDir dir;
    Bytes file;
    for (std::uint32_t word : {0x4D42u, 0u, 0u}) {
        veerpic_test::PutU16(file, static_cast<std::uint16_t>(word));
    }
    file.resize(10, 0);
    for (std::uint32_t word : {14u + 16 + 12, 16u, 2u, 1u}) {  // offset, header, width, height
        veerpic_test::PutU32(file, word);
    }
    veerpic_test::PutU16(file, 1);
    veerpic_test::PutU16(file, 4);
    for (std::uint32_t c : {0x102030u, 0x405060u, 0x708090u, 0x21u}) {  // table, then pixels
        veerpic_test::PutU32(file, c);
    }
    veerpic_test::WriteBytes(dir.File("os2.bmp"), file);
    Status why = Status::kOk;
    std::optional<Image> image = Load(dir.File("os2.bmp"), &why);
    ASSERT_TRUE(image) << static_cast<int>(why);
    EXPECT_EQ(image->format.colorCount, 16u);
    EXPECT_EQ(image->format.colors[2].rgbRed, 0x70);
    EXPECT_EQ(image->format.colors[1].rgbBlue, 0x60);
    EXPECT_EQ(image->format.colors[3].rgbGreen, 0);
    EXPECT_EQ(image->bits[0], 0x21);
}

}  // namespace

namespace {

// An RLE8 picture of `size` x `size` pixels whose first `rows` rows are
// covered by runs and whose stream then reaches its length with `deltas`
// empty deltas before its end code.
Bytes RleFile(std::int32_t size, std::int32_t rows, std::int32_t deltas) {
    Bytes stream;
    for (std::int32_t y = 0; y < rows; ++y) {
        for (std::int32_t x = 0; x < size; x += 255) {
            stream.push_back(static_cast<std::uint8_t>(std::min(255, size - x)));
            stream.push_back(static_cast<std::uint8_t>(y));
        }
        stream.insert(stream.end(), {0, 0});
    }
    for (std::int32_t i = 0; i < deltas; ++i) {
        stream.insert(stream.end(), {0, 2, 0, 0});
    }
    stream.insert(stream.end(), {0, 1});
    return veerpic_test::MakeBmp(size, size, 8, std::vector<std::uint32_t>(256), stream, 1);
}

// A compressed stream may leave pixels out as long as it leaves out no more
// than 16 Mi of them or no more than it writes: judged by the most its bytes
// can stand for before decoding, by what they do stand for after.
TEST(BmpDecoder, ACompressedStreamMustSupplyItsPicture) {
    struct Case {
        const char* name;
        std::int32_t rows;
        std::int32_t deltas;
        bool opens;
    };
    const Case cases[] = {
        {"every row", 6000, 0, true},
        {"half the rows", 3000, 0, true},
        {"one row less than half", 2999, 0, false},
        {"empty deltas only", 0, 36000, false},
        {"too few bytes for its picture", 0, 100, false},
    };
    for (const Case& c : cases) {
        Status why = Status::kOk;
        const Bytes file = RleFile(6000, c.rows, c.deltas);
        EXPECT_EQ(Decode(file, file.size(), &why).has_value(), c.opens) << c.name;
        if (!c.opens) {
            EXPECT_EQ(why, Status::kInvalidData) << c.name;
        }
    }
}

}  // namespace

namespace {

// The decoder's checks come in a fixed order, and the first that fails gives
// the reason: the signature, then where the pixels start, then the
// description, then whether the file holds its rows.
TEST(BmpDecoder, HeaderChecksComeInTheirOrder) {
    const Bytes good = veerpic_test::MakeBmp(4, 2, 24, {}, Bytes(24, 7));
    const auto with = [&](std::size_t at, std::uint8_t value) {
        Bytes file = good;
        file[at] = value;
        return file;
    };
    Bytes noPixels = with(26, 2);  // planes 2, and the pixels start at the file's end
    noPixels.resize(54);
    Bytes cut = good;
    cut.resize(60);
    struct Case {
        const char* name;
        Bytes file;
        Status why;
    };
    const Case cases[] = {
        {"no signature and two planes", with(26, 2), Status::kInvalidData},
        {"pixels at the end and two planes", noPixels, Status::kInvalidData},
        {"two planes", with(26, 2), Status::kInvalidParameter},
        {"two planes and rows cut short",
         [&] {
             Bytes f = with(26, 2);
             f.resize(60);
             return f;
         }(),
         Status::kInvalidParameter},
        {"rows cut short", cut, Status::kInvalidData},
    };
    for (const Case& c : cases) {
        Bytes file = c.file;
        if (std::string(c.name).rfind("no signature", 0) == 0) {
            file[0] = 'M';
        }
        Status why = Status::kOk;
        EXPECT_FALSE(Decode(file, file.size(), &why).has_value()) << c.name;
        EXPECT_EQ(why, c.why) << c.name;
    }
}

}  // namespace
