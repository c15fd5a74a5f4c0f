// The Windows adapter for files, heap and last-error code, through the
// platform interface: what it adds to the platform's own calls.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"
#include "surface/platform.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;

HANDLE OpenForWriting(const std::string& path, DWORD creation) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, creation,
                       FILE_FLAG_WRITE_THROUGH | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Windows sets its code on some successes (CREATE_ALWAYS over an existing
// file sets ERROR_ALREADY_EXISTS); the tool's calls leave it as it was.
TEST(WindowsFiles, SuccessLeavesTheLastErrorAlone) {
    TempDir dir;
    const std::string path = dir.File("f.bmp");
    veerpic_test::WriteBytes(path, Bytes{1, 2, 3});
    SetLastError(4242);
    HANDLE file = OpenForWriting(path, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, "abcd", 4, &written, nullptr));
    EXPECT_TRUE(CloseHandle(file));
    void* block = HeapAlloc(GetProcessHeap(), 0, 16);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), 4242u);
    EXPECT_EQ(veerpic_test::ReadBytes(path), (Bytes{'a', 'b', 'c', 'd'}));
}

TEST(WindowsFiles, TemporariesAndTheirReplacement) {
    TempDir dir;
    char temp[MAX_PATH];
    EXPECT_EQ(GetTempFileNameA(dir.File("missing").c_str(), "vp", 0, temp, sizeof temp), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ASSERT_NE(GetTempFileNameA(dir.path().string().c_str(), "vp", 0, temp, sizeof temp), 0u);
    // A pending temporary can be deleted while it is being written, as an
    // interrupt does.
    HANDLE file = OpenForWriting(temp, CREATE_ALWAYS);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DeleteFileA(temp));
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_FALSE(std::filesystem::exists(temp));

    // A read-only file is not replaced, as it may not be written.
    const std::string target = dir.File("target.bmp");
    veerpic_test::WriteBytes(target, Bytes{9});
    ASSERT_NE(GetTempFileNameA(dir.path().string().c_str(), "vp", 0, temp, sizeof temp), 0u);
    std::filesystem::permissions(target, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    ASSERT_NE(GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_FALSE(MoveFileExA(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(veerpic_test::ReadBytes(target), Bytes{9});
    std::filesystem::permissions(target, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_TRUE(MoveFileExA(temp, target.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(veerpic_test::ReadBytes(target).empty());
}

}  // namespace
