// CreateFileA's creation dispositions, each against a file that holds bytes
// and against a missing one, for reading and for writing: the handle or the
// refusal and its code, what the file holds afterwards, a success that leaves
// the last-error code as it found it, and a handle that refuses the access it
// was not opened for.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;

// What the path holds after the call.
enum class After { kKept, kEmpty, kMissing };

struct Disposition {
    DWORD creation;
    bool exists;
    DWORD access;
    DWORD code;  // ERROR_SUCCESS: a handle
    After after;
};

std::string Label(const Disposition& d) {
    static const char* const kNames[] = {"0 (no disposition)", "CREATE_NEW",  "CREATE_ALWAYS",
                                         "OPEN_EXISTING",      "OPEN_ALWAYS", "TRUNCATE_EXISTING",
                                         "6 (no disposition)"};
    return std::string(kNames[d.creation]) + (d.exists ? ", existing file" : ", missing file") +
           (d.access == GENERIC_READ ? ", read" : ", write");
}

constexpr DWORD kRead = GENERIC_READ;
constexpr DWORD kWrite = GENERIC_WRITE;
constexpr DWORD kOk = ERROR_SUCCESS;

const Disposition kDispositions[] = {
    {CREATE_NEW, true, kRead, ERROR_FILE_EXISTS, After::kKept},
    {CREATE_NEW, true, kWrite, ERROR_FILE_EXISTS, After::kKept},
    {CREATE_NEW, false, kRead, kOk, After::kEmpty},
    {CREATE_NEW, false, kWrite, kOk, After::kEmpty},
    {CREATE_ALWAYS, true, kRead, kOk, After::kEmpty},
    {CREATE_ALWAYS, true, kWrite, kOk, After::kEmpty},
    {CREATE_ALWAYS, false, kRead, kOk, After::kEmpty},
    {CREATE_ALWAYS, false, kWrite, kOk, After::kEmpty},
    {OPEN_EXISTING, true, kRead, kOk, After::kKept},
    {OPEN_EXISTING, true, kWrite, kOk, After::kKept},
    {OPEN_EXISTING, false, kRead, ERROR_FILE_NOT_FOUND, After::kMissing},
    {OPEN_EXISTING, false, kWrite, ERROR_FILE_NOT_FOUND, After::kMissing},
    {OPEN_ALWAYS, true, kRead, kOk, After::kKept},
    {OPEN_ALWAYS, true, kWrite, kOk, After::kKept},
    {OPEN_ALWAYS, false, kRead, kOk, After::kEmpty},
    {OPEN_ALWAYS, false, kWrite, kOk, After::kEmpty},
    {TRUNCATE_EXISTING, true, kWrite, kOk, After::kEmpty},
    {TRUNCATE_EXISTING, false, kRead, ERROR_FILE_NOT_FOUND, After::kMissing},
    {TRUNCATE_EXISTING, false, kWrite, ERROR_FILE_NOT_FOUND, After::kMissing},
    {0, true, kWrite, ERROR_INVALID_PARAMETER, After::kKept},
    {0, false, kRead, ERROR_INVALID_PARAMETER, After::kMissing},
    {6, true, kRead, ERROR_INVALID_PARAMETER, After::kKept},
    {6, false, kWrite, ERROR_INVALID_PARAMETER, After::kMissing},
};

TEST(DispositionsContract, EachDispositionAgainstAnExistingAndAMissingFile) {
    const Bytes contents = {'B', 'M', 1, 2, 3, 4, 5};
    constexpr DWORD kMarker = 4242;
    for (const Disposition& d : kDispositions) {
        const std::string label = Label(d);
        veerpic_test::TempDir dir;
        const std::string path = dir.File("f.bmp");
        if (d.exists) {
            veerpic_test::WriteBytes(path, contents);
        }
        SetLastError(kMarker);
        HANDLE file = CreateFileA(path.c_str(), d.access, FILE_SHARE_READ, nullptr, d.creation,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (d.code != kOk) {
            EXPECT_EQ(GetLastError(), d.code) << label;
            if (file != INVALID_HANDLE_VALUE) {
                ADD_FAILURE() << label << ": opened";
                CloseHandle(file);
            }
        } else if (file == INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << label << ": refused with " << GetLastError();
        } else {
            EXPECT_EQ(GetLastError(), kMarker) << label << ": a success changed the code";
            // The handle serves the access it was opened for and refuses the other.
            std::uint8_t buffer[16] = {};
            DWORD got = 99;
            if (d.access == kRead) {
                EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &got, nullptr)) << label;
                EXPECT_EQ(Bytes(buffer, buffer + got), d.after == After::kKept ? contents : Bytes{})
                    << label;
                EXPECT_FALSE(WriteFile(file, "x", 1, &got, nullptr)) << label;
            } else {
                EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &got, nullptr)) << label;
            }
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << label;
            EXPECT_EQ(got, 0u) << label;
            EXPECT_TRUE(CloseHandle(file)) << label;
        }
        const bool there = std::filesystem::exists(path);
        EXPECT_EQ(there, d.after != After::kMissing) << label;
        if (there) {
            EXPECT_EQ(veerpic_test::ReadBytes(path), d.after == After::kKept ? contents : Bytes{})
                << label;
        }
        // Nothing held: bitmaps, DCs, heap blocks, files, temporaries.
        const LiveCounts l = GetLiveCounts();
        EXPECT_EQ((std::vector<long>{l.bitmaps, l.dcs, l.heapBlocks, l.files, l.temporaries}),
                  std::vector<long>(5, 0))
            << label;
    }
}

// A handle opened for neither reading nor writing (access 0, a handle to ask
// about the file: its size, say) transfers no bytes.
TEST(DispositionsContract, AHandleWithoutAccessTransfersNoBytes) {
    veerpic_test::TempDir dir;
    const std::string path = dir.File("f.bmp");
    veerpic_test::WriteBytes(path, Bytes{'B', 'M', 1, 2, 3});
    HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    std::int64_t size = 0;
    EXPECT_TRUE(GetFileSizeEx(file, &size));
    EXPECT_EQ(size, 5);
    std::uint8_t buffer[8] = {};
    DWORD got = 99;
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &got, nullptr)) << "read " << got;
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(WriteFile(file, "x", 1, &got, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(veerpic_test::ReadBytes(path), (Bytes{'B', 'M', 1, 2, 3}));
    EXPECT_EQ(GetLiveCounts().files, 0);
}

}  // namespace
