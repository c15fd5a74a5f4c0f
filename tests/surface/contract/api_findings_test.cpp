// Where a platform service behaves otherwise than the API it stands in for,
// kept as disabled cases until the service is mended: each says what the
// service does today and what it should do. The change that mends one
// enables it.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "surface/platform.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;

// A handle opened for neither reading nor writing (access 0, a handle to ask
// about the file: its size, say) transfers no bytes. The Windows port
// refuses its reads with ERROR_ACCESS_DENIED; the POSIX port opens such a
// handle for reading and its reads hand out the file's contents.
TEST(ApiFindings, DISABLED_AHandleWithoutAccessTransfersNoBytes) {
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
