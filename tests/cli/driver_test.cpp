#include "cli/driver.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using veerpic_test::TempDir;

// Runs the driver with streams captured in temporary files.
struct Captured {
    int code;
    std::string out;
    std::string err;
};

std::string Slurp(std::FILE* f) {
    std::rewind(f);
    std::string text;
    char buf[512];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        text.append(buf, n);
    }
    std::fclose(f);
    return text;
}

Captured RunDriver(std::vector<std::string> args) {
    args.insert(args.begin(), "veerpic");
    std::vector<const char*> argv;
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int code = veerpic::RunVeerpic(static_cast<int>(args.size()), argv.data(), out, err);
    return {code, Slurp(out), Slurp(err)};
}

const char kUsage[] = "Usage: veerpic ANGLE input.bmp output.bmp\n";

TEST(Driver, WrongArgumentCountsGiveUsageAndExitOne) {
    TempDir dir;
    const std::string out = dir.File("never.bmp");
    const std::vector<std::vector<std::string>> cases = {
        {}, {"30"}, {"30", "in.bmp"}, {"30", "in.bmp", out, "extra"}};
    for (const auto& args : cases) {
        const Captured r = RunDriver(args);
        EXPECT_EQ(r.code, 1) << args.size();
        EXPECT_EQ(r.err, "ERROR: invalid arguments\n");
        EXPECT_EQ(r.out, kUsage);
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(Driver, UnloadableInputNamesTheInputOnly) {
    TempDir dir;
    const std::string notAPicture = dir.File("notes.bmp");
    veerpic_test::WriteBytes(notAPicture, {'h', 'e', 'l', 'l', 'o'});
    const std::string output = dir.File("out.bmp");
    const std::vector<std::string> inputs = {dir.File("missing.bmp"), notAPicture,
                                             dir.path().string()};
    for (const std::string& input : inputs) {
        const Captured r = RunDriver({"not a number", input, output});
        EXPECT_EQ(r.code, 2);
        EXPECT_EQ(r.err, "ERROR: cannot open file '" + input + "'\n");
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
    EXPECT_EQ(platform::GetLiveCounts().bitmaps, 0);
}

TEST(Driver, PathsAreEchoedByteForByte) {
    TempDir dir;
    const std::string odd = dir.File("sp ace%s\xc3\xa9.bmp");
    const Captured r = RunDriver({"30", odd, dir.File("o.bmp")});
    EXPECT_EQ(r.err, "ERROR: cannot open file '" + odd + "'\n");
}

TEST(Driver, UnwritableOutputNamesTheOutputAndReleasesBoth) {
    TempDir dir;
    const std::string input = dir.File("in.bmp");
    veerpic_test::WriteBytes(input,
                             veerpic_test::MakeBmp(3, 2, 24, {}, veerpic_test::Bytes(24, 7)));
    const std::string output = dir.File("no/such/folder/out.bmp");
    const Captured r = RunDriver({"abc", input, output});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err, "ERROR: cannot write file '" + output + "'\n");
    EXPECT_EQ(r.out, "");
    const platform::LiveCounts live = platform::GetLiveCounts();
    EXPECT_EQ(live.bitmaps, 0);
    EXPECT_EQ(live.dcs, 0);
    EXPECT_EQ(live.heapBlocks, 0);
    EXPECT_EQ(live.files, 0);
}

TEST(Driver, SuccessIsSilent) {
    TempDir dir;
    const std::string input = dir.File("in.bmp");
    veerpic_test::WriteBytes(input,
                             veerpic_test::MakeBmp(3, 2, 24, {}, veerpic_test::Bytes(24, 7)));
    const Captured r = RunDriver({"", input, dir.File("out.bmp")});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::exists(dir.File("out.bmp")));
}

}  // namespace
