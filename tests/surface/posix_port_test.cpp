// What the POSIX port adds under the contract: its errno table, FIFOs, the
// signals that remove pending temporaries, unnamed temporaries, and
// replaces across file systems.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "support/test_support.h"
#include "surface/pending_temporary.h"
#include "surface/platform.h"
#include "surface/system_calls_posix.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

TEST(PosixPort, ErrnoValuesMapOntoTheirCodes) {
    const std::pair<int, DWORD> table[] = {{0, ERROR_SUCCESS},
                                           {ENOENT, ERROR_FILE_NOT_FOUND},
                                           {ENOTDIR, ERROR_PATH_NOT_FOUND},
                                           {EACCES, ERROR_ACCESS_DENIED},
                                           {EPERM, ERROR_ACCESS_DENIED},
                                           {ENOSPC, ERROR_DISK_FULL},
                                           {EDQUOT, ERROR_DISK_FULL},
                                           {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
                                           {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
                                           {EROFS, ERROR_WRITE_PROTECT},
                                           {EFBIG, ERROR_FILE_TOO_LARGE},
                                           {EISDIR, ERROR_ACCESS_DENIED},
                                           {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
                                           {EPIPE, ERROR_BROKEN_PIPE},
                                           {EBUSY, ERROR_BUSY},
                                           {EXDEV, ERROR_NOT_SAME_DEVICE},
                                           {ELOOP, ERROR_CANT_RESOLVE_FILENAME},
                                           {EIO, ERROR_IO_DEVICE}};
    for (const auto& [err, code] : table) {
        EXPECT_EQ(posix::MapErrno(err), code) << err;
    }
}

// A FIFO is opened once its writer comes, and read to its end; it is a
// device to the writer's checks, as are /dev/null and standard output.
TEST(PosixPort, AFifoIsReadOnceItsWriterComes) {
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const veerpic_test::FifoWriter writer(fifo, Bytes{1, 2, 3}, 1, 100);
    HANDLE file = CreateFileA(fifo.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::uint8_t buf[4] = {};
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(file, buf, 4, &got, nullptr));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(buf[2], 3);
    CloseHandle(file);
    EXPECT_EQ(GetFileAttributesA(fifo.c_str()), FILE_ATTRIBUTE_DEVICE);
    EXPECT_EQ(GetFileAttributesA("/dev/null"), FILE_ATTRIBUTE_DEVICE);
}

// A write-through write returns once its bytes are on the disk: each one
// that has bytes is flushed before it returns; an empty one has none to flush.
TEST(PosixPort, AWriteThroughWriteReachesTheDiskBeforeItReturns) {
    TempDir dir;
    HANDLE file =
        CreateFileA(dir.File("f").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                    FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    for (const DWORD bytes : {3u, 0u, 5u}) {
        const long before = GetFlushCounts().data;
        EXPECT_TRUE(WriteFile(file, "abcde", bytes, &written, nullptr));
        EXPECT_EQ(GetFlushCounts().data - before, bytes != 0 ? 1 : 0) << bytes;
    }
    EXPECT_TRUE(CloseHandle(file));
}

// A write into a pipe whose reader has gone fails as a broken pipe (the
// signal it raises being ignored, as under a shell that ignores it).
TEST(PosixPort, AWriteIntoAPipeWithoutReaderIsABrokenPipe) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    auto* previous = std::signal(SIGPIPE, SIG_IGN);
    const std::string path = "/dev/fd/" + std::to_string(ends[1]);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    close(ends[0]);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(file, "abc", 3, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    CloseHandle(file);
    close(ends[1]);
    std::signal(SIGPIPE, previous);
}

// In a child: makes a temporary in `dir` (a named one, as on a file system
// without unnamed files, when `named`), then raises `sig` with the
// disposition `before` set beforehand (SIG_DFL, or SIG_IGN as under nohup).
// Returns the child's wait status.
int RaiseWithPendingTemporary(const TempDir& dir, int sig, void (*before)(int)) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(sig, before);
        char name[4096];
        if (GetTempFileNameA(dir.path().c_str(), "vp", 0, name, sizeof name) == 0) {
            _exit(3);
        }
        HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, "data", 4, &written, nullptr);
        raise(sig);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Every signal that ends the run removes the temporary and then ends it as
// that signal would; a signal inherited as ignored stays ignored.
TEST(PosixPort, SignalsRemoveThePendingTemporaryOrStayIgnored) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU,
                    SIGVTALRM, SIGPROF, SIGRTMIN, SIGKILL}) {
        TempDir dir;
        const int status = RaiseWithPendingTemporary(dir, sig, SIG_DFL);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_TRUE(fs::is_empty(dir.path())) << strsignal(sig);
        if (sig == SIGHUP || sig == SIGPIPE || sig == SIGUSR1) {
            const int ignored = RaiseWithPendingTemporary(dir, sig, SIG_IGN);
            EXPECT_TRUE(WIFEXITED(ignored) && WEXITSTATUS(ignored) == 0) << strsignal(sig);
        }
    }
}

// Where the file system makes no unnamed files, a temporary has a name, and
// only its owner may read it until it takes its place.
TEST(PosixPort, ANamedTemporaryIsTheOwnersAlone) {
    TempDir dir;
    static int opens;
    opens = 0;
    // The third open is the unnamed file's (after the folder's, twice):
    // refused as by a file system without them.
    SetFaultHook(
        [](SystemCall call) { return call == SystemCall::kOpen && ++opens == 3 ? EOPNOTSUPP : 0; });
    const mode_t mask = umask(0);
    char name[4096];
    const UINT made = GetTempFileNameA(dir.path().c_str(), "vp", 0, name, sizeof name);
    umask(mask);
    SetFaultHook(nullptr);
    ASSERT_NE(made, 0u);
    struct stat st {};
    ASSERT_EQ(stat(name, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(DeleteFileA(name));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A replace whose temporary lies on another file system copies it beside
// the output; where that copy cannot keep the output's mode, the output is
// written in place and the copy goes too.
TEST(PosixPort, AReplaceAcrossFileSystemsThatFallsBackLeavesNoCopy) {
    TempDir dir;
    struct stat here {};
    struct stat shm {};
    if (stat(dir.path().c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 ||
        here.st_dev == shm.st_dev || access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second file system for the temporary";
    }
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(100, 1));
    char temp[4096];
    ASSERT_NE(GetTempFileNameA("/dev/shm", "vp", 0, temp, sizeof temp), 0u);
    HANDLE file = CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "new", 3, &written, nullptr));
    ASSERT_TRUE(CloseHandle(file));
    static int modes;
    modes = 0;
    // The first mode change is the temporary's own; the second, the copy's, fails.
    SetFaultHook(
        [](SystemCall call) { return call == SystemCall::kMode && ++modes == 2 ? EPERM : 0; });
    const BOOL replaced = ReplaceFileA(out.c_str(), temp, nullptr, 0, nullptr, nullptr);
    SetFaultHook(nullptr);
    EXPECT_TRUE(replaced) << GetLastError();
    EXPECT_EQ(modes, 2);
    EXPECT_EQ(veerpic_test::ReadBytes(out), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
}

// A rename over the output that the system refuses for a reason writing in
// place avoids (a mount point is busy) writes the output in place.
TEST(PosixPort, ABusyOutputIsWrittenInPlace) {
    TempDir dir;
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(out, Bytes(50, 1));
    const std::string made = veerpic_test::PendingTemporary(dir.path(), Bytes{'n', 'e', 'w'});
    ASSERT_FALSE(made.empty());
    const char* temp = made.c_str();
    SetFaultHook([](SystemCall call) { return call == SystemCall::kRename ? EBUSY : 0; });
    const BOOL replaced = ReplaceFileA(out.c_str(), temp, nullptr, 0, nullptr, nullptr);
    SetFaultHook(nullptr);
    EXPECT_TRUE(replaced) << GetLastError();
    EXPECT_EQ(veerpic_test::ReadBytes(out), (Bytes{'n', 'e', 'w'}));
    EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u);
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
}

// Every signal the tool takes over is held while an output is written in
// place: one that arrives in the middle of the copy acts once the output is
// whole, and then ends the process as it would have.
TEST(PosixPort, EverySignalTakenOverWaitsForAnInPlaceWrite) {
    const Bytes fresh(3 << 20, 0x5C);  // copied in several pieces
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM,
                          SIGVTALRM, SIGPROF, SIGIO, SIGXCPU, SIGPWR, SIGRTMIN, SIGRTMIN + 5}) {
        TempDir dir;
        const std::string out = dir.File("out.bmp");
        veerpic_test::WriteBytes(out, Bytes(100, 1));
        fs::create_hard_link(out, dir.File("other.bmp"));  // written in place
        const pid_t pid = fork();
        if (pid == 0) {
            char temp[4096];
            HANDLE file = GetTempFileNameA(dir.path().c_str(), "vp", 0, temp, sizeof temp) != 0
                              ? CreateFileA(temp, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                              : INVALID_HANDLE_VALUE;
            DWORD written = 0;
            if (file == INVALID_HANDLE_VALUE ||
                !WriteFile(file, fresh.data(), static_cast<DWORD>(fresh.size()), &written,
                           nullptr) ||
                !CloseHandle(file)) {
                _exit(3);
            }
            static int raised;
            raised = sig;
            // The copy's first read of the temporary: the overwrite has begun.
            SetFaultHook([](SystemCall call) {
                if (call == SystemCall::kReadAt && raised != 0) {
                    raise(std::exchange(raised, 0));
                }
                return 0;
            });
            ReplaceFileA(out.c_str(), temp, nullptr, 0, nullptr, nullptr);
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_TRUE(veerpic_test::ReadBytes(out) == fresh) << strsignal(sig);
        EXPECT_TRUE(veerpic_test::ReadBytes(dir.File("other.bmp")) == fresh) << strsignal(sig);
        EXPECT_EQ(veerpic_test::Temporaries(dir.path()), 0u) << strsignal(sig);
    }
}

// The kB of large pages of a memory file (ShmemPmdMapped) in the mapping
// that holds `at`, from /proc/self/smaps; -1 where none says.
long LargePagesKb(const void* at) {
    std::ifstream smaps("/proc/self/smaps");
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        unsigned long low = 0, high = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx ", &low, &high) == 2) {
            inside = low <= address && address < high;
        } else if (inside && line.rfind("ShmemPmdMapped:", 0) == 0) {
            return std::stol(line.substr(15));
        }
    }
    return -1;
}

// A canvas that a transfer covers a quarter or more of lies on large pages
// wherever the system can give a memory file large pages now (the test asks
// it first for a memory file of its own): its small pages would cost a fault
// each. A thin parallelogram leaves the canvas's pages to the transfer.
TEST(PosixPort, ACanvasDrawnWholeLiesOnLargePagesWhereTheSystemGivesThem) {
    constexpr std::size_t kLargePage = std::size_t{2} << 20;
    const int fd = memfd_create("probe", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 2 * kLargePage), 0);
    void* room = mmap(nullptr, 3 * kLargePage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(room, MAP_FAILED);
    auto* probe = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(room) + kLargePage - 1) & ~(kLargePage - 1));
    ASSERT_NE(mmap(probe, kLargePage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0),
              MAP_FAILED);
    probe[0] = 1;
    const bool possible =
        madvise(probe, kLargePage, 25 /* MADV_COLLAPSE */) == 0 && LargePagesKb(probe) > 0;
    munmap(room, 3 * kLargePage);
    close(fd);
    if (!possible) {
        GTEST_SKIP() << "this system gives memory files no large pages now";
    }
    // A system that gives memory files large pages of its own (any setting
    // but "never" and "deny") may give a thin parallelogram's canvas some.
    std::string setting;
    std::getline(std::ifstream("/sys/kernel/mm/transparent_hugepage/shmem_enabled"), setting);
    const bool ownLargePages =
        setting.find("[never]") == std::string::npos && setting.find("[deny]") == std::string::npos;
    const auto section = [](LONG width, LONG height, void** bits) {
        BITMAPINFOHEADER header{40, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
        return CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&header),
                                DIB_RGB_COLORS, bits, nullptr, 0, sizeof header);
    };
    struct Case {
        POINT corners[3];
        bool large;
    } const cases[] = {{{{0, 0}, {2000, 0}, {0, 2000}}, true},
                       {{{1000, 0}, {1999, 1000}, {0, 1000}}, true},  // half, turned 45 degrees
                       {{{0, 0}, {2000, 0}, {0, 40}}, false}};
    for (const Case& c : cases) {
        void* bits = nullptr;
        void* pixels = nullptr;
        HBITMAP canvas = section(2000, 2000, &bits);
        HBITMAP picture = section(100, 100, &pixels);
        ASSERT_NE(canvas, nullptr);
        ASSERT_NE(picture, nullptr);
        std::memset(pixels, 0x80, 300 * 100);
        HDC to = CreateCompatibleDC(nullptr);
        HDC from = CreateCompatibleDC(nullptr);
        HGDIOBJ kept[2] = {SelectObject(to, canvas), SelectObject(from, picture)};
        SetStretchBltMode(to, HALFTONE);
        EXPECT_TRUE(PlgBlt(to, c.corners, from, 0, 0, 100, 100, nullptr, 0, 0));
        if (c.large || !ownLargePages) {
            EXPECT_EQ(LargePagesKb(bits) > 0, c.large) << c.corners[2].y;
        }
        const auto* bytes = static_cast<const std::uint8_t*>(bits);
        EXPECT_EQ(bytes[6000 * 1979 + 3 * 1000], 0x80) << c.corners[2].y;  // row 20, drawn
        SelectObject(to, kept[0]);
        SelectObject(from, kept[1]);
        DeleteDC(to);
        DeleteDC(from);
        DeleteObject(canvas);
        DeleteObject(picture);
    }
}

}  // namespace
