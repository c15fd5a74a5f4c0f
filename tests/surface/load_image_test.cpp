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
    EXPECT_EQ(GetLastError(), MapErrno(EISDIR));

#if !defined(_WIN32)
    // Neither a device of endless zeros nor a pipe without a writer may hang.
    EXPECT_EQ(Load("/dev/zero"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
    const std::string fifo = dir.File("fifo.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(Load(fifo), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
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

}  // namespace
