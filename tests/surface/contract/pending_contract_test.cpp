// A pending temporary answers CreateFileA's dispositions as a file that
// exists, whether or not the system has named it yet; and MoveFileExA moves
// a file that is no temporary, or leaves it where it was when it cannot.
#include <gtest/gtest.h>

#include <cerrno>
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

#if defined(_WIN32)
constexpr int kIo = 1117;  // ERROR_IO_DEVICE
#else
constexpr int kIo = EIO;
#endif

// What reading `path` through the services gives.
Bytes ReadThrough(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    Bytes bytes(64);
    DWORD got = 0;
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, bytes.data(), 64, &got, nullptr)) {
        got = 0;
    }
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

TEST(PendingContract, DispositionsMeetThePendingTemporaryAsAFileThatExists) {
    const Bytes contents = {1, 2, 3};
    const struct {
        DWORD creation;
        DWORD code;  // ERROR_SUCCESS: a handle
        Bytes after;
    } cases[] = {
        {CREATE_NEW, ERROR_FILE_EXISTS, contents}, {CREATE_ALWAYS, ERROR_SUCCESS, {}},
        {OPEN_EXISTING, ERROR_SUCCESS, contents},  {OPEN_ALWAYS, ERROR_SUCCESS, contents},
        {TRUNCATE_EXISTING, ERROR_SUCCESS, {}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string temp = veerpic_test::PendingTemporary(dir.path(), contents);
        ASSERT_FALSE(temp.empty()) << c.creation;
        HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, c.creation,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_EQ(file != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError(), c.code)
            << c.creation;
        CloseHandle(file);
        EXPECT_EQ(ReadThrough(temp), c.after) << c.creation;
        EXPECT_TRUE(DeleteFileA(temp.c_str())) << c.creation;
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
    EXPECT_EQ(GetLiveCounts().temporaries, 0);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

int FailRenames(SystemCall call) {
    return call == SystemCall::kRename ? kIo : 0;
}

// A file that is no temporary is moved; a move the system refuses leaves it
// where it was, with its bytes: it was never the services' to delete.
TEST(PendingContract, AFileThatIsNoTemporaryIsMovedOrLeftAlone) {
    for (const bool refused : {false, true}) {
        TempDir dir;
        const std::string from = dir.File("from.bmp");
        const std::string to = dir.File("to.bmp");
        veerpic_test::WriteBytes(from, Bytes{4, 5, 6});
        SetFaultHook(refused ? FailRenames : nullptr);
        const BOOL moved = MoveFileExA(from.c_str(), to.c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        const DWORD code = GetLastError();
        SetFaultHook(nullptr);
        EXPECT_EQ(moved, refused ? FALSE : TRUE) << refused;
        if (refused) {
            EXPECT_EQ(code, ERROR_IO_DEVICE);
        }
        EXPECT_EQ(fs::exists(from), refused) << refused;
        EXPECT_EQ(veerpic_test::ReadBytes(refused ? from : to), (Bytes{4, 5, 6})) << refused;
        EXPECT_EQ(fs::exists(to), !refused) << refused;
        EXPECT_EQ(GetLiveCounts().temporaries, 0) << refused;
        EXPECT_EQ(GetLiveCounts().files, 0) << refused;
    }
}

}  // namespace
