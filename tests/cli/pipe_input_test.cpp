// A picture read from a pipe gives the same output as from its file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/test_support.h"

namespace {

using veerpic_test::TempDir;

TEST(PipeInput, GivesTheSameBytesAsTheFile) {
    TempDir dir;
    const std::string in = veerpic_test::DataPath("bmpsuite/g/pal8rle.bmp");
    const std::string fromFile = dir.File("file.bmp");
    const std::string fromPipe = dir.File("pipe.bmp");
    ASSERT_EQ(veerpic_test::RunTool({"30", in, fromFile}).exitCode, 0);
    const std::string command =
        "cat '" + in + "' | '" + VEERPIC_EXE + "' 30 /dev/stdin '" + fromPipe + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(veerpic_test::ReadBytes(fromPipe), veerpic_test::ReadBytes(fromFile));
}

}  // namespace
