// Temporaries and the replace that keeps an output's identity, through
// platform.h only, the same on every system.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "surface/contract/system_differences.h"
#include "surface/pending_temporary.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

// A pending temporary in `dir` holding `contents`, written as the writer
// writes one.
std::string Temporary(const TempDir& dir, const Bytes& contents) {
    return veerpic_test::PendingTemporary(dir.path().string(), contents,
                                          FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL);
}

std::size_t Entries(const fs::path& dir) {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

TEST(TemporariesContract, PendingUntilPlacedOrDeleted) {
    TempDir dir;
    // More temporaries than a run makes, each forgotten once deleted.
    for (int i = 0; i < 20; ++i) {
        const std::string temp = Temporary(dir, Bytes{1, 2});
        ASSERT_FALSE(temp.empty()) << i;
        EXPECT_EQ(GetLiveCounts().temporaries, 1) << i;
        EXPECT_TRUE(DeleteFileA(temp.c_str())) << i;
        EXPECT_EQ(GetLiveCounts().temporaries, 0) << i;
    }
    EXPECT_EQ(Entries(dir.path()), 0u);
    char small[8];
    EXPECT_EQ(GetTempFileNameA(dir.path().string().c_str(), "vp", 0, small, sizeof small), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    char name[4096];
    EXPECT_EQ(GetTempFileNameA(dir.File("missing").c_str(), "vp", 0, name, sizeof name), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // A temporary put where no file stands is no longer pending.
    const std::string temp = Temporary(dir, Bytes{7, 8, 9});
    const std::string out = dir.File("new.bmp");
    EXPECT_TRUE(MoveFileExA(temp.c_str(), out.c_str(), MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(veerpic_test::ReadBytes(out), (Bytes{7, 8, 9}));
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
    const std::string another = Temporary(dir, Bytes{1});
    EXPECT_FALSE(MoveFileExA(another.c_str(), out.c_str(), MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(DeleteFileA(another.c_str()));
    EXPECT_EQ(Entries(dir.path()), 1u);
    // An output gone by the time of its replace (another run's replace took
    // its name away for a moment) is put there as a new file.
    const std::string late = Temporary(dir, Bytes{4});
    const std::string gone = dir.File("gone.bmp");
    EXPECT_TRUE(ReplaceFileA(gone.c_str(), late.c_str(), nullptr, 0, nullptr, nullptr))
        << GetLastError();
    EXPECT_EQ(veerpic_test::ReadBytes(gone), Bytes{4});
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
    EXPECT_EQ(Entries(dir.path()), 2u);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

// A file with a second name is one file before and after: both names show
// the new contents, which reach the disk before the replace returns.
TEST(ReplaceContract, EveryNameOfTheOutputShowsTheNewContents) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(5000, 0xEE));
    fs::create_hard_link(out, dir.File("other.bmp"));
    const Bytes fresh = veerpic_test::Picture(30, 20);
    const std::string temp = Temporary(dir, fresh);
    ASSERT_FALSE(temp.empty());
    const FlushCounts before = GetFlushCounts();
    ASSERT_TRUE(ReplaceFileA(out.c_str(), temp.c_str(), nullptr, REPLACEFILE_WRITE_THROUGH, nullptr,
                             nullptr))
        << GetLastError();
    EXPECT_GE(GetFlushCounts().data - before.data, 1);
    EXPECT_EQ(veerpic_test::ReadBytes(out), fresh);
    EXPECT_EQ(veerpic_test::ReadBytes(dir.File("other.bmp")), fresh);
    EXPECT_EQ(Entries(dir.path()), 2u);
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

TEST(ReplaceContract, TheOutputKeepsItsModeOrAttributes) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(10, 1));
    if (contract::kPermissionBits) {
        fs::permissions(out, static_cast<fs::perms>(0640));
    } else {
        ASSERT_TRUE(veerpic_test::SetHidden(out));
    }
    const DWORD attributes = GetFileAttributesA(out.c_str());
    const std::string temp = Temporary(dir, Bytes{4, 5});
    ASSERT_TRUE(ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(veerpic_test::ReadBytes(out), (Bytes{4, 5}));
    EXPECT_EQ(GetFileAttributesA(out.c_str()), attributes);
    if (contract::kPermissionBits) {
        EXPECT_EQ(fs::status(out).permissions() & fs::perms::all, static_cast<fs::perms>(0640));
    } else {
        EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u);
    }
    EXPECT_EQ(Entries(dir.path()), 1u);
}

TEST(ReplaceContract, AnOutputThatMayNotBeWrittenIsRefusedAndKept) {
    if (veerpic_test::Privileged()) {
        GTEST_SKIP() << "a privileged process may write any file";
    }
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes{9});
    fs::permissions(out, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    ASSERT_NE(GetFileAttributesA(out.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    const std::string temp = Temporary(dir, Bytes{1, 2, 3});
    EXPECT_FALSE(ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(veerpic_test::ReadBytes(out), Bytes{9});
    // The temporary stays the caller's, pending until deleted.
    EXPECT_EQ(GetLiveCounts().temporaries, 1);
    EXPECT_TRUE(DeleteFileA(temp.c_str()));
    EXPECT_EQ(Entries(dir.path()), 1u);
    fs::permissions(out, fs::perms::owner_write, fs::perm_options::add);
}

TEST(PathContract, RemoveFileSpecLeavesTheFolder) {
    struct Case {
        const char* path;
        const char* folder;
        BOOL removed;
    };
    const Case cases[] = {
        {"a/b/c.bmp", "a/b", TRUE},
        {"c.bmp", "", TRUE},
        {"/c.bmp", "/", TRUE},
        {"/", "/", FALSE},
        {"", "", FALSE},
#if defined(_WIN32)
        {"a\\b\\c.bmp", "a\\b", TRUE},
        {"C:\\c.bmp", "C:\\", TRUE},
        {"a/b\\c.bmp", "a/b", TRUE},
#else
        // A backslash is an ordinary character of a POSIX name.
        {"a\\b.bmp", "", TRUE},
        {"d/a\\b.bmp", "d", TRUE},
#endif
    };
    for (const Case& c : cases) {
        std::string path = c.path;
        EXPECT_EQ(PathRemoveFileSpecA(path.data()), c.removed) << c.path;
        EXPECT_STREQ(path.c_str(), c.folder) << c.path;
    }
}

}  // namespace
