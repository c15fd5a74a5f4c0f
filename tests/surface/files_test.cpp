#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <string>
#include <utility>

#include "support/test_support.h"
#include "surface/gdi_objects.h"
#include "surface/platform.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;

// errno values, FIFOs, devices and signals are POSIX's.
#if !defined(_WIN32)
TEST(MapErrno, CommonReasons) {
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
                                           {EIO, ERROR_IO_DEVICE}};
    for (const auto& [err, code] : table) {
        EXPECT_EQ(MapErrno(err), code) << err;
    }
}
#endif

TEST(Files, ReadsAreSequentialAndAShortReadSucceeds) {
    TempDir dir;
    const std::string path = dir.File("f");
    veerpic_test::WriteBytes(path, Bytes{1, 2, 3, 4, 5});
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::uint8_t buf[8] = {};
    DWORD got = 99;
    ASSERT_TRUE(ReadFile(file, buf, 2, &got, nullptr));
    EXPECT_EQ(got, 2u);
    ASSERT_TRUE(ReadFile(file, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(buf[0], 3);
    ASSERT_TRUE(ReadFile(file, buf, 8, &got, nullptr));
    EXPECT_EQ(got, 0u);
    std::int64_t size = 0;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(GetLiveCounts().files, 1);
    EXPECT_TRUE(CloseHandle(file));
    // A closed handle is refused, by a close and a write alike.
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

// Reads of many megabytes go on from the file's position, deliver every byte
// in its place, stop at the end of the file and leave the position past them.
TEST(Files, LargeReadsGoOnFromThePositionAndStopAtTheEnd) {
    TempDir dir;
    const std::string path = dir.File("large");
    constexpr std::size_t kSize = (std::size_t{9} << 20) + 100;
    Bytes bytes(kSize);
    for (std::size_t i = 0; i < kSize; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    veerpic_test::WriteBytes(path, bytes);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Bytes out(std::size_t{9} << 20);
    std::size_t at = 0;
    // Bytes asked for, and bytes the read gets.
    const std::pair<DWORD, DWORD> reads[] = {
        {5, 5}, {DWORD{9} << 20, DWORD{9} << 20}, {DWORD{8} << 20, 95}, {DWORD{8} << 20, 0}};
    for (const auto& [asked, expected] : reads) {
        DWORD got = 1234;
        ASSERT_TRUE(ReadFile(file, out.data(), asked, &got, nullptr)) << asked;
        ASSERT_EQ(got, expected) << asked;
        EXPECT_TRUE(std::equal(out.begin(), out.begin() + got, bytes.begin() + at)) << asked;
        at += got;
    }
    EXPECT_TRUE(CloseHandle(file));
}

TEST(Files, OpeningRefusals) {
    TempDir dir;
    struct Case {
        std::string path;
        DWORD code;
    };
    for (const Case& c :
         {Case{dir.File("none"), ERROR_FILE_NOT_FOUND},
          Case{dir.File("none/x"), ERROR_PATH_NOT_FOUND},
          Case{dir.path().string(), ERROR_ACCESS_DENIED}, Case{"", ERROR_PATH_NOT_FOUND}}) {
        EXPECT_EQ(CreateFileA(c.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE)
            << c.path;
        EXPECT_EQ(GetLastError(), c.code) << c.path;
    }
    EXPECT_EQ(GetLiveCounts().files, 0);
}

#if !defined(_WIN32)
TEST(Files, PipeWithoutWriterDoesNotBlockTheReader) {
    TempDir dir;
    const std::string fifo = dir.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    HANDLE file = CreateFileA(fifo.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::uint8_t buf[4];
    DWORD got = 1;
    EXPECT_TRUE(ReadFile(file, buf, 4, &got, nullptr));
    EXPECT_EQ(got, 0u);
    CloseHandle(file);
    EXPECT_EQ(GetFileAttributesA(fifo.c_str()), FILE_ATTRIBUTE_DEVICE);
    EXPECT_EQ(GetFileAttributesA("/dev/null"), FILE_ATTRIBUTE_DEVICE);
    EXPECT_EQ(GetFileAttributesA(dir.path().c_str()), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesA(dir.File("none").c_str()), INVALID_FILE_ATTRIBUTES);
}

// In a child: makes a temporary in `dir`, then raises `sig` with the
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
        raise(sig);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

// Every signal that ends the run removes the temporary and then ends it as
// that signal would; a signal inherited as ignored stays ignored.
TEST(Files, SignalsRemoveThePendingTemporaryOrStayIgnored) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXCPU,
                    SIGVTALRM, SIGPROF, SIGRTMIN}) {
        TempDir dir;
        const int status = RaiseWithPendingTemporary(dir, sig, SIG_DFL);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
        EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << strsignal(sig);
        if (sig == SIGHUP || sig == SIGPIPE || sig == SIGUSR1) {
            const int ignored = RaiseWithPendingTemporary(dir, sig, SIG_IGN);
            EXPECT_TRUE(WIFEXITED(ignored) && WEXITSTATUS(ignored) == 0) << strsignal(sig);
        }
    }
}
#endif

TEST(Heap, BlocksAreCounted) {
    const long before = GetLiveCounts().heapBlocks;
    void* a = HeapAlloc(GetProcessHeap(), 0, 0);
    void* b = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(static_cast<std::uint8_t*>(b)[63], 0);
    EXPECT_EQ(GetLiveCounts().heapBlocks, before + 2);
    HeapFree(GetProcessHeap(), 0, a);
    HeapFree(GetProcessHeap(), 0, b);
    EXPECT_EQ(GetLiveCounts().heapBlocks, before);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

#if !defined(_WIN32)
// The turn's working memory, freed, serves the writer's block of about its
// size without new pages; a small block, or one that must start
// cleared, is a block of its own, and the heap's count is kept either way.
TEST(Heap, TheLastLargeBlockFreedServesTheNextOfItsSize) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const long before = GetLiveCounts().heapBlocks;
    void* working = detail::AllocateWorkingMemory(12 * kMiB);
    ASSERT_NE(working, nullptr);
    static_cast<std::uint8_t*>(working)[12 * kMiB - 1] = 7;
    detail::ReleaseWorkingMemory(working);
    void* cleared = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 11 * kMiB);
    void* small = HeapAlloc(GetProcessHeap(), 0, 3 * kMiB);
    void* writer = HeapAlloc(GetProcessHeap(), 0, 11 * kMiB);
    ASSERT_NE(cleared, nullptr);
    ASSERT_NE(small, nullptr);
    EXPECT_NE(cleared, working);
    EXPECT_EQ(static_cast<std::uint8_t*>(cleared)[11 * kMiB - 1], 0);
    EXPECT_NE(small, working);
    EXPECT_EQ(writer, working);
    EXPECT_EQ(GetLiveCounts().heapBlocks, before + 3);
    for (void* block : {cleared, small, writer}) {
        HeapFree(GetProcessHeap(), 0, block);
    }
    EXPECT_EQ(GetLiveCounts().heapBlocks, before);
}
#endif

}  // namespace
