// Temporaries on POSIX, named and unnamed: a named one (a file system
// without unnamed files) takes its place, goes when deleted even after
// someone else removed it, and goes with a signal; the name of an unnamed
// one is not its own, so a file another process puts there stays; and no
// temporary keeps a descriptor open once it is placed or deleted.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "surface/pending_temporary.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

int opens;

// Makes a temporary in `dir` holding `contents`; with `named`, one with a
// name, as on a file system without unnamed files: the third open that
// GetTempFileNameA makes is the unnamed file's (after its folder's, twice),
// refused as such a file system refuses it. "" when none can be made.
std::string Temporary(const TempDir& dir, const Bytes& contents, bool named) {
    opens = 0;
    if (named) {
        SetFaultHook([](SystemCall call) {
            return call == SystemCall::kOpen && ++opens == 3 ? EOPNOTSUPP : 0;
        });
    }
    const std::string name = veerpic_test::PendingTemporary(dir.path(), contents);
    SetFaultHook(nullptr);
    return !name.empty() && fs::exists(name) == named ? name : std::string();
}

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

TEST(PosixTemporaries, ANamedTemporaryIsPlacedOrGoes) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(10, 1));
    std::string temp = Temporary(dir, Bytes{1, 2}, true);
    ASSERT_FALSE(temp.empty());
    EXPECT_TRUE(ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr))
        << GetLastError();
    EXPECT_EQ(veerpic_test::ReadBytes(out), (Bytes{1, 2}));

    // Removed behind the services' back: its deletion still succeeds, once.
    temp = Temporary(dir, Bytes{3}, true);
    ASSERT_FALSE(temp.empty());
    fs::remove(temp);
    EXPECT_TRUE(DeleteFileA(temp.c_str()));
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
    EXPECT_FALSE(DeleteFileA(temp.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // A signal that ends the process removes it.
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGTERM, SIG_DFL);
        if (!Temporary(dir, Bytes{4}, true).empty()) {
            raise(SIGTERM);
        }
        _exit(3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
}

// A file another process makes under an unnamed temporary's name is that
// process's: deleting the temporary, or a signal, leaves it.
TEST(PosixTemporaries, TheNameOfAnUnnamedTemporaryIsNotItsOwn) {
    TempDir dir;
    // An unnamed temporary, and another's file under its name; "" without one.
    const auto planted = [&dir] {
        const std::string temp = Temporary(dir, Bytes{1}, false);
        if (!temp.empty()) {
            veerpic_test::WriteBytes(temp, Bytes{9});
        }
        return temp;
    };
    const std::string temp = planted();
    if (temp.empty()) {
        GTEST_SKIP() << "the file system makes no unnamed files";
    }
    EXPECT_TRUE(DeleteFileA(temp.c_str()));
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGTERM, SIG_DFL);
        if (!planted().empty()) {
            raise(SIGTERM);
        }
        _exit(3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 2u);
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(veerpic_test::ReadBytes(entry.path().string()), Bytes{9});
    }
}

TEST(PosixTemporaries, NoDescriptorOutlivesItsTemporary) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(10, 1));
    fs::create_hard_link(out, dir.File("other.bmp"));  // written in place
    const std::size_t before = OpenDescriptors();
    for (const bool named : {false, true}) {
        std::string temp = Temporary(dir, Bytes{1}, named);
        EXPECT_TRUE(DeleteFileA(temp.c_str())) << named;
        temp = Temporary(dir, Bytes{2}, named);
        EXPECT_TRUE(MoveFileExA(temp.c_str(), dir.File("new.bmp").c_str(),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            << named;
        temp = Temporary(dir, Bytes{3}, named);
        EXPECT_TRUE(ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr)) << named;
    }
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
}

}  // namespace
