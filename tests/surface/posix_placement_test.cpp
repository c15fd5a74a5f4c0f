// Placing a temporary on POSIX: a FIFO is never replaced; an output written
// in place waits for an earlier holder of its lock, and is judged against
// the file-size limit before a byte of it changes; a temporary on another
// file system than its output's folder is copied beside it and goes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_support.h"
#include "surface/pending_temporary.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

TEST(PosixPlacement, AFifoIsNeverReplaced) {
    TempDir dir;
    const std::string fifo = dir.File("out.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string temp = veerpic_test::PendingTemporary(dir.path(), Bytes{1, 2});
    ASSERT_FALSE(temp.empty());
    EXPECT_FALSE(ReplaceFileA(fifo.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(MoveFileExA(temp.c_str(), fifo.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(DeleteFileA(temp.c_str()));
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
}

std::atomic<bool> released{false};
std::atomic<bool> changedWhileLocked{false};

// A file written in place by two at once ends as one of them wrote it: the
// overwrite begins once the earlier holder of the file's lock lets it go.
TEST(PosixPlacement, AnInPlaceWriteWaitsForTheLock) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(1000, 0xEE));
    fs::create_hard_link(out, dir.File("other.bmp"));  // written in place
    const Bytes fresh(3000, 0x5C);
    const std::string temp = veerpic_test::PendingTemporary(dir.path(), fresh);
    ASSERT_FALSE(temp.empty());
    const int holder = open(out.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    released = false;
    changedWhileLocked = false;
    SetFaultHook([](SystemCall call) {
        if ((call == SystemCall::kReserve || call == SystemCall::kWriteAt) && !released) {
            changedWhileLocked = true;
        }
        return 0;
    });
    BOOL placed = FALSE;
    std::thread writer(
        [&] { placed = ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    released = true;
    flock(holder, LOCK_UN);
    writer.join();
    SetFaultHook(nullptr);
    close(holder);
    EXPECT_TRUE(placed);
    EXPECT_FALSE(changedWhileLocked);
    EXPECT_TRUE(veerpic_test::ReadBytes(out) == fresh);
}

// Under a file-size limit below the new contents, an output written in
// place keeps every byte, even one that is larger already.
TEST(PosixPlacement, TheFileSizeLimitIsCheckedBeforeAByteChanges) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    const Bytes earlier(20000, 0xEE);
    veerpic_test::WriteBytes(out, earlier);
    fs::create_hard_link(out, dir.File("other.bmp"));  // written in place
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string temp = veerpic_test::PendingTemporary(dir.path(), Bytes(8000, 0x11));
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 4096;
        if (temp.empty() || setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            _exit(3);
        }
        const BOOL placed = ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr);
        _exit(placed ? 1 : (GetLastError() == ERROR_FILE_TOO_LARGE ? 0 : 2));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(veerpic_test::ReadBytes(out) == earlier);
}

// Whether `dir` and /dev/shm lie on two file systems, and /dev/shm takes files.
bool SecondFileSystem(const fs::path& dir) {
    struct stat here {};
    struct stat shm {};
    return stat(dir.c_str(), &here) == 0 && stat("/dev/shm", &shm) == 0 &&
           here.st_dev != shm.st_dev && access("/dev/shm", W_OK) == 0;
}

// A temporary in a folder on another file system: its contents go beside the
// output, and the temporary itself goes; where the output's folder takes no
// new file, the existing output is written in place.
TEST(PosixPlacement, ATemporaryOnAnotherFileSystemIsCopiedOrWrittenIn) {
    TempDir dir;
    if (!SecondFileSystem(dir.path())) {
        GTEST_SKIP() << "no second file system for the temporary";
    }
    const std::string out = dir.File("out.bmp");
    for (const bool existing : {false, true}) {
        const std::string temp = veerpic_test::PendingTemporary("/dev/shm", Bytes{7, 8});
        ASSERT_FALSE(temp.empty());
        EXPECT_TRUE(existing ? ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr)
                             : MoveFileExA(temp.c_str(), out.c_str(), MOVEFILE_REPLACE_EXISTING))
            << existing << " " << GetLastError();
        EXPECT_EQ(veerpic_test::ReadBytes(out), (Bytes{7, 8})) << existing;
        EXPECT_FALSE(fs::exists(temp)) << existing;
        EXPECT_EQ(GetLiveCounts().temporaries, 0) << existing;
        EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u) << existing;
    }

    // The runner's own output, in a folder where it may make no file.
    if (veerpic_test::Privileged()) {
        ASSERT_EQ(chown(out.c_str(), veerpic_test::kNobody, veerpic_test::kNobody), 0);
    }
    fs::permissions(dir.path(), static_cast<fs::perms>(0555));
    const pid_t pid = fork();
    if (pid == 0) {
        // A privileged process may add to any folder: the runner is another user.
        if (geteuid() == 0 && !veerpic_test::BecomeNobody()) {
            _exit(3);
        }
        const std::string temp = veerpic_test::PendingTemporary("/dev/shm", Bytes{9});
        const bool placed =
            !temp.empty() && ReplaceFileA(out.c_str(), temp.c_str(), nullptr, 0, nullptr, nullptr);
        _exit(placed && !fs::exists(temp) ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    fs::permissions(dir.path(), fs::perms::owner_all);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(veerpic_test::ReadBytes(out), Bytes{9});
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
}

}  // namespace
