// A stream LoadImageA read and refused is kept for the next reading of its
// own path, and for nothing else: a reader of another file gets that file,
// and an open of the stream's path for writing gets a writer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;

// All `path` gives a reader through the services.
Bytes ReadAll(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    Bytes read;
    std::uint8_t buffer[64];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) &&
           got != 0) {
        read.insert(read.end(), buffer, buffer + got);
    }
    CloseHandle(file);
    return read;
}

TEST(PosixKeptStream, OnlyTheNextReaderOfItsPathGetsIt) {
    TempDir dir;
    const std::string fifo = dir.File("in.fifo");
    const std::string other = dir.File("other.bmp");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    veerpic_test::WriteBytes(other, Bytes{'o', 't', 'h', 'e', 'r'});
    Bytes cut = veerpic_test::Picture(4, 3);
    cut.resize(30);  // inside the info header
    {
        const veerpic_test::FifoWriter writer(fifo, cut);
        EXPECT_EQ(LoadImageA(nullptr, fifo.c_str(), IMAGE_BITMAP, 0, 0,
                             LR_LOADFROMFILE | LR_CREATEDIBSECTION),
                  nullptr);
    }
    ASSERT_EQ(GetLiveCounts().files, 1);  // the stream, kept
    EXPECT_EQ(ReadAll(other), (Bytes{'o', 't', 'h', 'e', 'r'}));
    ASSERT_EQ(GetLiveCounts().files, 1);
    // The kept stream is a reader at the FIFO, so a writer opens at once.
    HANDLE writer = CreateFileA(fifo.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    const BOOL wrote = WriteFile(writer, "x", 1, &written, nullptr);
    EXPECT_TRUE(CloseHandle(writer));
    ASSERT_TRUE(wrote);
    ASSERT_EQ(GetLiveCounts().files, 1);
    EXPECT_EQ(ReadAll(fifo), cut);
    EXPECT_EQ(GetLiveCounts().files, 0);
}

}  // namespace
