// The file and heap services through platform.h only, the same on every
// system: access, refusals and their codes, reads that follow one another,
// and live counts back to zero.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include "support/test_support.h"
#include "surface/contract/system_differences.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;

HANDLE Open(const std::string& path, DWORD access, DWORD creation, DWORD share = FILE_SHARE_READ) {
    return CreateFileA(path.c_str(), access, share, nullptr, creation,
                       access == GENERIC_WRITE ? FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL
                                               : FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

TEST(FilesContract, ReadsFollowOneAnotherAndAShortReadSucceeds) {
    TempDir dir;
    const std::string path = dir.File("f");
    veerpic_test::WriteBytes(path, Bytes{1, 2, 3, 4, 5});
    HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::uint8_t buf[8] = {};
    // Bytes asked for, bytes got, the first of them.
    for (const auto& [asked, expected, first] :
         {std::tuple<DWORD, DWORD, int>{2, 2, 1}, {8, 3, 3}, {8, 0, -1}}) {
        DWORD got = 99;
        ASSERT_TRUE(ReadFile(file, buf, asked, &got, nullptr));
        EXPECT_EQ(got, expected);
        if (first >= 0) {
            EXPECT_EQ(buf[0], first);
        }
    }
    std::int64_t size = 0;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size, 5);
    EXPECT_EQ(GetLiveCounts().files, 1);
    // A read handle takes no writes.
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(CloseHandle(file));
    // A closed handle is refused, by a close and a read alike.
    EXPECT_FALSE(CloseHandle(file));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(file, buf, 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

// Reads of many megabytes go on from the file's position, deliver every byte
// in its place, stop at the end of the file and leave the position past them.
TEST(FilesContract, LargeReadsGoOnFromThePositionAndStopAtTheEnd) {
    TempDir dir;
    const std::string path = dir.File("large");
    constexpr std::size_t kSize = (std::size_t{9} << 20) + 100;
    Bytes bytes(kSize);
    for (std::size_t i = 0; i < kSize; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    veerpic_test::WriteBytes(path, bytes);
    HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Bytes out(std::size_t{9} << 20);
    std::size_t at = 0;
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

TEST(FilesContract, RefusalsAndTheirCodes) {
    TempDir dir;
    veerpic_test::WriteBytes(dir.File("there"), Bytes{1});
    struct Case {
        std::string path;
        DWORD access;
        DWORD creation;
        DWORD code;
    };
    const Case cases[] = {
        {dir.File("none"), GENERIC_READ, OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {dir.File("none/x"), GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {dir.File("none/x"), GENERIC_WRITE, CREATE_ALWAYS, ERROR_PATH_NOT_FOUND},
        {dir.path().string(), GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        {"", GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {dir.File("there"), GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(Open(c.path, c.access, c.creation), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.code) << c.path;
    }
    EXPECT_FALSE(DeleteFileA(dir.File("none").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA(dir.path().string().c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetFileAttributesA(dir.File("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(dir.path().string().c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

// A file open for writing with FILE_SHARE_READ admits readers, not writers.
TEST(FilesContract, SharingAdmitsReadersOnly) {
    TempDir dir;
    const std::string path = dir.File("f");
    HANDLE writer = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    HANDLE reader = Open(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    HANDLE second = Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!contract::kMandatorySharing) {
        CloseHandle(second);
        CloseHandle(writer);
        GTEST_SKIP() << "POSIX has no mandatory sharing modes";
    }
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(writer));
}

// A call that succeeds leaves the thread's code as it found it; some
// systems set it on success (CREATE_ALWAYS over an existing file).
TEST(FilesContract, SuccessLeavesTheLastErrorAlone) {
    TempDir dir;
    const std::string path = dir.File("f.bmp");
    veerpic_test::WriteBytes(path, Bytes{1, 2, 3});
    SetLastError(4242);
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "abcd", 4, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    void* block = HeapAlloc(GetProcessHeap(), 0, 16);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), 4242u);
    EXPECT_EQ(veerpic_test::ReadBytes(path), (Bytes{'a', 'b', 'c', 'd'}));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HeapContract, BlocksAreCountedAndAZeroedBlockIsZero) {
    const long before = GetLiveCounts().heapBlocks;
    void* a = HeapAlloc(GetProcessHeap(), 0, 0);
    void* b = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, std::size_t{5} << 20);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(static_cast<std::uint8_t*>(b)[(std::size_t{5} << 20) - 1], 0);
    EXPECT_EQ(GetLiveCounts().heapBlocks, before + 2);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, a));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, b));
    EXPECT_EQ(GetLiveCounts().heapBlocks, before);
    EXPECT_FALSE(HeapFree(GetProcessHeap(), 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
