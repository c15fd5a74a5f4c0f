// The tool as a user runs it: the real executable, its streams and exit code.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <ostream>
#include <string>

#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::GetI32;
using veerpic_test::GetU16;
using veerpic_test::GetU32;
using veerpic_test::RunTool;
using veerpic_test::TempDir;

const char kUsage[] = "Usage: veerpic ANGLE input.bmp output.bmp\n";

// A 100 x 50 24-bit picture with a pattern in every channel.
Bytes Picture100x50() {
    Bytes pixels;
    for (int y = 0; y < 50; ++y) {
        for (int x = 0; x < 100; ++x) {
            pixels.push_back(static_cast<std::uint8_t>(x * 2));
            pixels.push_back(static_cast<std::uint8_t>(y * 5));
            pixels.push_back(static_cast<std::uint8_t>((x + y) * 3));
        }
    }
    return veerpic_test::MakeBmp(100, 50, 24, {}, pixels);
}

// An 8-bit 5 x 5 picture with a 4-entry table.
Bytes Picture8Bit() {
    Bytes pixels;
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 8; ++x) {
            pixels.push_back(static_cast<std::uint8_t>(x < 5 ? (x + y) % 4 : 0));
        }
    }
    return veerpic_test::MakeBmp(5, 5, 8, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF}, pixels);
}

TEST(EndToEnd, WrongArgumentCounts) {
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"1", "2"},
                             std::vector<std::string>{"1", "2", "3", "4"}}) {
        const auto r = RunTool(args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "ERROR: invalid arguments\n");
        EXPECT_EQ(r.out, kUsage);
    }
}

TEST(EndToEnd, UsageGoesToRedirectedStandardOutput) {
    TempDir dir;
    const std::string outFile = dir.File("stdout.txt");
    const auto r = RunTool({"only-one"}, outFile);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "ERROR: invalid arguments\n");
    const Bytes written = veerpic_test::ReadBytes(outFile);
    EXPECT_EQ(std::string(written.begin(), written.end()), kUsage);
}

TEST(EndToEnd, InputThatCannotBeLoaded) {
    TempDir dir;
    const std::string junk = dir.File("junk.bmp");
    veerpic_test::WriteBytes(junk, Bytes(100, 'x'));
    for (const std::string& input : {dir.File("missing.bmp"), junk}) {
        const auto r = RunTool({"abc", input, dir.File("out.bmp")});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, "ERROR: cannot open file '" + input + "'\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.File("out.bmp")));
}

struct OutputShape {
    const char* angle;
    std::int32_t width;
    std::int32_t height;
    std::uint16_t bits;
};

void PrintTo(const OutputShape& c, std::ostream* os) {
    *os << "angle " << c.angle;
}

class RotateRun : public testing::TestWithParam<OutputShape> {};

TEST_P(RotateRun, WritesTheExpectedCanvas) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(in, Picture100x50());
    const auto r = RunTool({GetParam().angle, in, out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const Bytes file = veerpic_test::ReadBytes(out);
    ASSERT_GE(file.size(), 54u);
    EXPECT_EQ(GetI32(file, 18), GetParam().width);
    EXPECT_EQ(GetI32(file, 22), GetParam().height);
    EXPECT_EQ(GetU16(file, 28), GetParam().bits);
    EXPECT_EQ(GetU32(file, 2), file.size());
}

INSTANTIATE_TEST_SUITE_P(
    Angles, RotateRun,
    testing::Values(OutputShape{"30", 111, 93, 24}, OutputShape{"90", 50, 100, 24},
                    OutputShape{"-30deg", 111, 93, 24}, OutputShape{"abc", 100, 50, 24},
                    OutputShape{"+NAN", 100, 50, 24}, OutputShape{"-INF", 100, 50, 24},
                    OutputShape{"720", 100, 50, 24}),
    [](const testing::TestParamInfo<OutputShape>& p) {
        std::string n = p.param.angle;
        for (char& c : n) {
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return "angle_" + n;
    });

TEST(EndToEnd, WholeTurnKeepsTheInputDepthOtherAnglesGive24Bits) {
    TempDir dir;
    const std::string in = dir.File("in8.bmp");
    veerpic_test::WriteBytes(in, Picture8Bit());
    const std::string copy = dir.File("copy.bmp");
    const std::string turned = dir.File("turned.bmp");
    ASSERT_EQ(RunTool({"0", in, copy}).exitCode, 0);
    ASSERT_EQ(RunTool({"30", in, turned}).exitCode, 0);
    const Bytes original = veerpic_test::ReadBytes(in);
    const Bytes copied = veerpic_test::ReadBytes(copy);
    EXPECT_EQ(GetU16(copied, 28), 8);
    EXPECT_EQ(GetU32(copied, 10), 1078u);
    // Same pixels and the same first table entries as the input.
    EXPECT_TRUE(std::equal(original.begin() + 54, original.begin() + 54 + 16, copied.begin() + 54));
    EXPECT_TRUE(std::equal(original.end() - 40, original.end(), copied.end() - 40));
    EXPECT_EQ(GetU16(veerpic_test::ReadBytes(turned), 28), 24);
}

TEST(EndToEnd, AngleBeyondTheTrigonometricRangeIsAWriteFailure) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture100x50());
    const std::string out = dir.File("out.bmp");
    const auto r = RunTool({"1e20", in, out});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ERROR: cannot write file '" + out + "'\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(EndToEnd, OutputFolderThatDoesNotExist) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    veerpic_test::WriteBytes(in, Picture100x50());
    const std::string out = dir.File("nowhere/out.bmp");
    const auto r = RunTool({"30", in, out});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "ERROR: cannot write file '" + out + "'\n");
    EXPECT_EQ(r.out, "");
}

}  // namespace
