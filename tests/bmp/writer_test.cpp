#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "pixels/row_codec.h"
#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/services.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic::LoadBitmapFile;
using veerpic::SaveBitmapFile;
using veerpic_test::Bytes;
using veerpic_test::GetI32;
using veerpic_test::GetU16;
using veerpic_test::GetU32;
using veerpic_test::TempDir;

namespace fs = std::filesystem;

void ExpectNothingHeld() {
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.dcs, 0);
    EXPECT_EQ(live.heapBlocks, 0);
    EXPECT_EQ(live.files, 0);
}

struct Description {
    BITMAPINFOHEADER header;
    DWORD extra[256];  // masks or colour entries
};

// A section of the given depth whose bytes are pseudo-random (a fixed seed),
// with a `colors`-entry table below 16 bits.
HBITMAP MakeSection(LONG width, LONG height, WORD bits, DWORD colors = 0,
                    DWORD compression = BI_RGB, const DWORD* masks = nullptr) {
    Description d{};
    d.header = {40, width, height, 1, bits, compression, 0, 0, 0, colors, 0};
    for (DWORD i = 0; i < colors; ++i) {
        d.extra[i] = 0x010203u * i + 0x400000u;
    }
    if (masks != nullptr) {
        d.extra[0] = masks[0];
        d.extra[1] = masks[1];
        d.extra[2] = masks[2];
    }
    void* pixels = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d), DIB_RGB_COLORS,
                                      &pixels, nullptr, 0, sizeof d);
    if (bitmap == nullptr) {
        return nullptr;
    }
    BITMAP record{};
    GetObjectA(bitmap, sizeof record, &record);
    std::mt19937 random(static_cast<unsigned>(width * 7919 + height * 31 + bits));
    auto* bytes = static_cast<std::uint8_t*>(pixels);
    for (LONG i = 0; i < record.bmWidthBytes * record.bmHeight; ++i) {
        bytes[i] = static_cast<std::uint8_t>(random());
    }
    return bitmap;
}

struct LayoutCase {
    LONG width;
    LONG height;
    WORD bits;
    DWORD offBits;
    DWORD fileSize;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.width << "x" << c.height << " at " << c.bits << " bits";
}

class WriterLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(WriterLayout, HeadersAndSizes) {
    const LayoutCase& c = GetParam();
    TempDir dir;
    HBITMAP bitmap = MakeSection(c.width, c.height, c.bits, c.bits <= 8 ? 2u : 0u);
    ASSERT_NE(bitmap, nullptr);
    const std::string path = dir.File("out.bmp");
    ASSERT_TRUE(SaveBitmapFile(path.c_str(), bitmap));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    const Bytes file = veerpic_test::ReadBytes(path);
    ASSERT_EQ(file.size(), c.fileSize);
    EXPECT_EQ(GetU16(file, 0), 0x4D42);
    EXPECT_EQ(GetU32(file, 2), c.fileSize);
    EXPECT_EQ(GetU32(file, 6), 0u);  // both reserved words
    EXPECT_EQ(GetU32(file, 10), c.offBits);
    EXPECT_EQ(GetU32(file, 14), 40u);
    EXPECT_EQ(GetI32(file, 18), c.width);
    EXPECT_EQ(GetI32(file, 22), c.height);
    EXPECT_EQ(GetU16(file, 26), 1);
    EXPECT_EQ(GetU16(file, 28), c.bits);
    EXPECT_EQ(GetU32(file, 30), BI_RGB);
    EXPECT_EQ(GetU32(file, 34), c.fileSize - c.offBits);
    EXPECT_EQ(GetU32(file, 46), 0u);  // biClrUsed: the table is always full
    // The table's first two entries are the bitmap's, the rest black.
    if (c.bits <= 8) {
        EXPECT_EQ(GetU32(file, 54), 0x400000u);
        EXPECT_EQ(GetU32(file, 58), 0x410203u);
        for (DWORD at = 62; at < c.offBits; at += 4) {
            ASSERT_EQ(GetU32(file, at), 0u) << at;
        }
    }
    DeleteObject(bitmap);
    ExpectNothingHeld();
}

INSTANTIATE_TEST_SUITE_P(
    Depths, WriterLayout,
    testing::Values(LayoutCase{3, 2, 24, 54, 78}, LayoutCase{5, 5, 8, 1078, 1118},
                    LayoutCase{5, 5, 4, 118, 118 + 20}, LayoutCase{10, 1, 1, 62, 66},
                    LayoutCase{3, 3, 16, 54, 54 + 24}, LayoutCase{3, 3, 32, 54, 54 + 36}),
    [](const testing::TestParamInfo<LayoutCase>& p) {
        return std::to_string(p.param.bits) + "bit";
    });

// The colours of every pixel of `bitmap`, top row first.
Bytes Decoded(HBITMAP bitmap) {
    const LONG width = bitmap->format.width;
    Bytes all;
    Bytes row(static_cast<std::size_t>(width) * 4);
    for (LONG y = 0; y < bitmap->format.height; ++y) {
        veerpic::pixels::RowCodec(bitmap->format)
            .Unpack(bitmap->RowFromTop(y), static_cast<std::size_t>(bitmap->format.width),
                    row.data());
        all.insert(all.end(), row.begin(), row.end());
    }
    return all;
}

TEST(Writer, EveryDepthReadsBackToTheSamePixels) {
    for (WORD bits : {WORD{1}, WORD{4}, WORD{8}, WORD{16}, WORD{24}, WORD{32}}) {
        TempDir dir;
        HBITMAP bitmap = MakeSection(13, 7, bits, bits <= 8 ? (1u << bits) : 0u);
        ASSERT_NE(bitmap, nullptr) << bits;
        const std::string path = dir.File("round.bmp");
        ASSERT_TRUE(SaveBitmapFile(path.c_str(), bitmap));
        HBITMAP back = LoadBitmapFile(path.c_str());
        ASSERT_NE(back, nullptr) << bits;
        EXPECT_EQ(back->format.bitCount, bits);
        EXPECT_EQ(Decoded(back), Decoded(bitmap)) << bits;
        DeleteObject(back);
        DeleteObject(bitmap);
    }
    ExpectNothingHeld();
}

TEST(Writer, BitfieldPixelsAreWrittenAsPlainRgb) {
    const DWORD masks565[3] = {0xF800, 0x07E0, 0x001F};
    HBITMAP bitmap = MakeSection(4, 2, 16, 0, BI_BITFIELDS, masks565);
    ASSERT_NE(bitmap, nullptr);
    TempDir dir;
    const std::string path = dir.File("565.bmp");
    ASSERT_TRUE(SaveBitmapFile(path.c_str(), bitmap));
    const Bytes file = veerpic_test::ReadBytes(path);
    EXPECT_EQ(GetU32(file, 10), 54u);
    EXPECT_EQ(GetU32(file, 30), BI_RGB);
    // Every written pixel is 5-5-5: its top bit is clear.
    for (std::size_t at = 54; at + 1 < file.size(); at += 2) {
        EXPECT_EQ(file[at + 1] & 0x80, 0) << at;
    }
    DeleteObject(bitmap);
}

TEST(Writer, NullBitmapTouchesNothing) {
    TempDir dir;
    const std::string path = dir.File("keep.bmp");
    veerpic_test::WriteBytes(path, Bytes{1, 2, 3});
    EXPECT_FALSE(SaveBitmapFile(path.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(veerpic_test::ReadBytes(path), (Bytes{1, 2, 3}));
    EXPECT_FALSE(SaveBitmapFile(dir.File("new.bmp").c_str(), nullptr));
    EXPECT_FALSE(fs::exists(dir.File("new.bmp")));
    ExpectNothingHeld();
}

// Names in `dir` other than `keep`: leftovers of a write.
std::size_t OtherEntries(const fs::path& dir, const std::string& keep) {
    std::size_t n = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        n += entry.path().filename() != keep;
    }
    return n;
}

// Writes of a 3 x 2 24-bit section (a 78-byte file) into a fresh folder;
// every handle and block is released at the end.
class WriterFile : public testing::Test {
  protected:
    void TearDown() override {
        DeleteObject(bitmap_);
        ExpectNothingHeld();
    }
    BOOL Save(const std::string& path) const { return SaveBitmapFile(path.c_str(), bitmap_); }
    std::size_t SizeOf(const std::string& path) const {
        return veerpic_test::ReadBytes(path).size();
    }

    TempDir dir_;
    HBITMAP bitmap_ = MakeSection(3, 2, 24);
};

TEST_F(WriterFile, FileAndFolderReachTheDiskBeforeSuccess) {
    for (bool existing : {false, true}) {
        const FlushCounts before = GetFlushCounts();
        ASSERT_TRUE(Save(dir_.File("out.bmp"))) << existing;
        const FlushCounts after = GetFlushCounts();
        EXPECT_GE(after.data - before.data, 1) << existing;
        EXPECT_EQ(after.folders - before.folders, 1) << existing;
    }
}

TEST_F(WriterFile, UnwritablePlacesFailWithTheirReason) {
    EXPECT_FALSE(Save(dir_.File("missing/out.bmp")));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    fs::create_directory(dir_.File("folder"));
    EXPECT_FALSE(Save(dir_.File("folder")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_directory(dir_.File("folder")));
    EXPECT_EQ(OtherEntries(dir_.path(), "folder"), 0u);
}

// The new file's data are flushed when it is closed: a close that fails is a
// failed save, which keeps the earlier output and leaves no temporary.
TEST_F(WriterFile, AFailedCloseOfTheNewFileFailsTheSave) {
    const std::string path = dir_.File("out.bmp");
    veerpic_test::WriteBytes(path, Bytes{1, 2, 3});
#if defined(_WIN32)
    static constexpr int kFailure = 1117;  // ERROR_IO_DEVICE
#else
    static constexpr int kFailure = EIO;
#endif
    static bool written;
    static int closes;
    written = false;
    closes = 0;
    // The first close after the first write is the new file's.
    SetFaultHook([](SystemCall call) {
        written = written || call == SystemCall::kWrite || call == SystemCall::kWriteAt;
        return written && call == SystemCall::kClose && ++closes == 1 ? kFailure : 0;
    });
    const BOOL saved = Save(path);
    const DWORD reason = GetLastError();
    SetFaultHook(nullptr);
    EXPECT_FALSE(saved);
    EXPECT_EQ(reason, ERROR_IO_DEVICE);
    EXPECT_GE(closes, 1);
    EXPECT_EQ(veerpic_test::ReadBytes(path), (Bytes{1, 2, 3}));
    EXPECT_EQ(OtherEntries(dir_.path(), "out.bmp"), 0u);
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
}

// Permission bits, the umask, links, owners, file-size limits and devices
// are POSIX's; the Windows cases are in windows_command_line_test.cpp and
// windows_files_test.cpp.
#if !defined(_WIN32)
// A new file gets the usual mode under the umask; a file written over keeps its own.
TEST_F(WriterFile, NewFileGetsTheUsualModeAndAnExistingOneKeepsItsOwn) {
    const std::string path = dir_.File("out.bmp");
    const mode_t old = umask(022);
    const BOOL written = Save(path);
    umask(old);
    ASSERT_TRUE(written);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, static_cast<fs::perms>(0644));
    veerpic_test::WriteBytes(path, Bytes(5000, 0xEE));
    fs::permissions(path, static_cast<fs::perms>(0640));
    ASSERT_TRUE(Save(path));
    EXPECT_EQ(SizeOf(path), 78u);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, static_cast<fs::perms>(0640));
    EXPECT_EQ(OtherEntries(dir_.path(), "out.bmp"), 0u);
}

// Written through a symbolic link and by its own name, a file with a second
// hard link stays one file that both names show.
TEST_F(WriterFile, LinksStayAndEveryNameSeesTheNewPicture) {
    const std::string target = dir_.File("real.bmp");
    veerpic_test::WriteBytes(target, Bytes(5000, 0xEE));
    fs::create_symlink("real.bmp", dir_.File("link.bmp"));
    fs::create_hard_link(target, dir_.File("hard.bmp"));
    for (const char* name : {"link.bmp", "real.bmp"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(Save(dir_.File(name)));
        EXPECT_TRUE(fs::is_symlink(dir_.File("link.bmp")));
        EXPECT_EQ(fs::hard_link_count(target), 2u);
        EXPECT_EQ(SizeOf(dir_.File("hard.bmp")), 78u);
        EXPECT_EQ(veerpic_test::ReadBytes(dir_.File("hard.bmp")), veerpic_test::ReadBytes(target));
        EXPECT_EQ(OtherEntries(dir_.path(), "real.bmp"), 2u);
    }
}

TEST_F(WriterFile, PrivilegedReplaceKeepsOwnerGroupAndMode) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs a privileged run to own a file for another user";
    }
    const std::string path = dir_.File("theirs.bmp");
    veerpic_test::WriteBytes(path, Bytes(10, 1));
    ASSERT_EQ(chown(path.c_str(), veerpic_test::kNobody, veerpic_test::kNobody), 0);
    ASSERT_EQ(chmod(path.c_str(), 06755), 0);
    ASSERT_TRUE(Save(path));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 78);
    EXPECT_EQ(st.st_uid, veerpic_test::kNobody);
    EXPECT_EQ(st.st_gid, veerpic_test::kNobody);
    EXPECT_EQ(st.st_mode & 07777, 06755u);
}

TEST_F(WriterFile, SymbolicLinkLoopIsRefused) {
    fs::create_symlink("b.bmp", dir_.File("a.bmp"));
    fs::create_symlink("a.bmp", dir_.File("b.bmp"));
    EXPECT_FALSE(Save(dir_.File("a.bmp")));
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
    EXPECT_EQ(fs::read_symlink(dir_.File("a.bmp")), "b.bmp");
    EXPECT_EQ(fs::read_symlink(dir_.File("b.bmp")), "a.bmp");
    EXPECT_EQ(OtherEntries(dir_.path(), "a.bmp"), 1u);
}

TEST_F(WriterFile, BackslashIsAnOrdinaryCharacterOfAName) {
    ASSERT_TRUE(Save(dir_.File("a\\b.bmp"))) << GetLastError();
    EXPECT_EQ(SizeOf(dir_.File("a\\b.bmp")), 78u);
    EXPECT_EQ(OtherEntries(dir_.path(), "a\\b.bmp"), 0u);
}

// A folder on another file system than `than`, named after it, where there is one.
std::string OtherFileSystem(const fs::path& than) {
    struct stat here {};
    struct stat there {};
    if (stat(than.c_str(), &here) == 0 && stat("/dev/shm", &there) == 0 &&
        here.st_dev != there.st_dev && access("/dev/shm", W_OK) == 0) {
        return "/dev/shm/" + than.filename().string();
    }
    return "";
}

TEST_F(WriterFile, SymbolicLinkToAnotherFileSystemWritesItsTarget) {
    const std::string target = OtherFileSystem(dir_.path()) + ".bmp";
    if (target == ".bmp") {
        GTEST_SKIP() << "no second file system to link to";
    }
    veerpic_test::WriteBytes(target, Bytes(10, 1));
    fs::create_symlink(target, dir_.File("link.bmp"));
    const BOOL written = Save(dir_.File("link.bmp"));
    const std::size_t size = SizeOf(target);
    fs::remove(target);
    EXPECT_TRUE(written) << GetLastError();
    EXPECT_TRUE(fs::is_symlink(dir_.File("link.bmp")));
    EXPECT_EQ(size, 78u);
    EXPECT_EQ(OtherEntries(dir_.path(), "link.bmp"), 0u);
}

// A path of exactly `length` bytes below `base`, through folders of up to 200
// bytes, ending in a one-letter name (so that any longer temporary name
// beside it would pass the system's limit).
std::string LongPath(const std::string& base, std::size_t length) {
    std::string path = base;
    while (path.size() + 1 + 200 + 2 < length) {
        path.push_back('/');
        path.append(200, 'd');
        fs::create_directory(path);
    }
    const std::size_t rest = length - path.size() - 3;  // "/", the folder, "/o"
    path.push_back('/');
    path.append(rest, 'e');
    fs::create_directory(path);
    path.append("/o");
    return path;
}

TEST_F(WriterFile, OutputPathNearTheSystemLimit) {
    std::vector<std::string> bases = {dir_.path().string()};
    const std::string otherBase = OtherFileSystem(dir_.path());
    if (!otherBase.empty()) {
        fs::create_directory(otherBase);
        bases.push_back(otherBase);
    }
    for (const std::string& base : bases) {
        const std::string path = LongPath(base, 4090);
        ASSERT_EQ(path.size(), 4090u);
        for (bool existing : {false, true}) {
            EXPECT_TRUE(Save(path)) << base << " " << existing;
            EXPECT_EQ(SizeOf(path), 78u);
        }
        EXPECT_EQ(OtherEntries(fs::path(path).parent_path(), "o"), 0u);
    }
    if (!otherBase.empty()) {
        fs::remove_all(otherBase);
    }
}

TEST(Writer, FailedWriteLeavesTheEarlierFileAndNoTemporary) {
    TempDir dir;
    const std::string path = dir.File("precious.bmp");
    const Bytes earlier = veerpic_test::Picture(40, 20);
    veerpic_test::WriteBytes(path, earlier);
    HBITMAP bitmap = MakeSection(100, 100, 24);

    // Files may grow to 1000 bytes only: the pixel write fails part-way.
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    struct rlimit small = saved;
    small.rlim_cur = 1000;
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    const BOOL written = SaveBitmapFile(path.c_str(), bitmap);
    const DWORD reason = GetLastError();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(written);
    EXPECT_EQ(reason, ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(veerpic_test::ReadBytes(path), earlier);
    EXPECT_EQ(OtherEntries(dir.path(), "precious.bmp"), 0u);
    DeleteObject(bitmap);
    ExpectNothingHeld();
}

TEST_F(WriterFile, DevicesAreWrittenStraightAndNeverDeleted) {
    EXPECT_TRUE(Save("/dev/null"));
    EXPECT_FALSE(Save("/dev/full"));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}
#endif

}  // namespace
