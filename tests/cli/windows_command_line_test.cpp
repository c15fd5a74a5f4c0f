// The tool as a Windows program: started with crafted command lines that it
// cuts itself, messages ending in CR LF, and failures that end the same way as
// on other systems (message, exit code, earlier output intact, no temporary).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::TempDir;
using veerpic_test::Temporaries;
namespace fs = std::filesystem;

const std::string kUsageLine = "Usage: veerpic ANGLE input.bmp output.bmp\r\n";
const std::string kArgumentsLine = "ERROR: invalid arguments\r\n";

std::string OpenLine(const std::string& path) {
    return "ERROR: cannot open file '" + path + "'\r\n";
}
std::string WriteLine(const std::string& path) {
    return "ERROR: cannot write file '" + path + "'\r\n";
}

// Windows spelling of a path: backslashes between the parts.
std::string Native(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

class WindowsCommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(dir_.File("with space"));
        in_ = Native(dir_.File("in.bmp"));
        spaced_ = Native(dir_.File("with space\\in put.bmp"));
        veerpic_test::WriteBytes(in_, veerpic_test::Picture(37, 23));
        veerpic_test::WriteBytes(spaced_, veerpic_test::Picture(37, 23));
        exe_ = Native(VEERPIC_EXE);
    }

    // Runs `line` with the tool's path put in front.
    veerpic_test::ProcessResult Run(const std::string& arguments) {
        return veerpic_test::RunCommandLine(exe_ + " " + arguments, dir_.File("stdout"),
                                            dir_.File("stderr"));
    }
    // The output of a run written plainly, to compare others with.
    Bytes Reference(const std::string& angle) {
        const std::string out = Native(dir_.File("reference.bmp"));
        EXPECT_EQ(Run(angle + " " + in_ + " " + out).exitCode, 0);
        return veerpic_test::ReadBytes(out);
    }
    std::string Out(const std::string& name) const { return Native(dir_.File(name)); }

    TempDir dir_;
    std::string in_, spaced_, exe_;
};

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(WindowsCommandLine, QuotedAndEmptyArgumentsReachTheDriverAsMeant) {
    const Bytes turned = Reference("30");
    const Bytes copy = Reference("0");
    struct Case {
        std::string arguments;  // with OUT for the output path
        const Bytes* expected;
    };
    const std::string spacedOut = Out("with space\\out put.bmp");
    const Case cases[] = {
        {"30 \"" + spaced_ + "\" \"" + spacedOut + "\"", &turned},
        {"\"  30\" " + in_ + " \"" + spacedOut + "\"", &turned},  // spaces before the number
        {"3\"0\" " + in_ + " \"" + spacedOut + "\"", &turned},    // a stretch joins its neighbours
        {"\t30\t" + in_ + "\t\t\"" + spacedOut + "\"\t", &turned},
        {"\"\" " + in_ + " \"" + spacedOut + "\"", &copy},  // empty ANGLE: angle zero
        {"abc \"" + spaced_ + "\" \"" + spacedOut + "\"", &copy},
    };
    for (const Case& c : cases) {
        fs::remove(spacedOut);
        const auto r = Run(c.arguments);
        EXPECT_EQ(r.exitCode, 0) << c.arguments;
        EXPECT_TRUE(r.out.empty() && r.err.empty()) << c.arguments << Text(r.err);
        EXPECT_EQ(veerpic_test::ReadBytes(spacedOut), *c.expected) << c.arguments;
    }
    // The null device takes the output straight.
    EXPECT_EQ(Run("30 " + in_ + " NUL").exitCode, 0);
    EXPECT_EQ(Temporaries(dir_.path()), 0u);
}

TEST_F(WindowsCommandLine, PathsAreEchoedAsCut) {
    struct Case {
        std::string arguments;
        int exitCode;
        std::string err;  // usage goes to standard output after an argument error
    };
    const std::string missing = Native(dir_.File("nowhere"));
    const Case cases[] = {
        // A backslash before a quote is a quote, in or out of a stretch.
        {"30 " + in_ + " \"" + missing + "\\\\say\\\"hi\\\".bmp\"", 2,
         WriteLine(missing + "\\\\say\"hi\".bmp")},
        {"30 " + missing + "\\\"x.bmp " + Out("o.bmp"), 2, OpenLine(missing + "\"x.bmp")},
        // Other backslashes stay, doubled ones too; wildcards are not expanded.
        {"30 " + missing + "\\\\*.bmp " + Out("o.bmp"), 2, OpenLine(missing + "\\\\*.bmp")},
        {"30 \"" + missing + "\\?.bmp\" " + Out("o.bmp"), 2, OpenLine(missing + "\\?.bmp")},
        // Counts: a quoted blank joins, an empty pair is an argument.
        {"\"30 " + in_ + "\" " + Out("o.bmp"), 1, kArgumentsLine},
        {"30 " + in_ + " " + Out("o.bmp") + " \"\"", 1, kArgumentsLine},
        {"", 1, kArgumentsLine},
    };
    for (const Case& c : cases) {
        const auto r = Run(c.arguments);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.arguments;
        EXPECT_EQ(Text(r.err), c.err) << c.arguments;
        EXPECT_EQ(Text(r.out), c.exitCode == 1 ? kUsageLine : "") << c.arguments;
    }
    EXPECT_FALSE(fs::exists(Out("o.bmp")));
}

TEST_F(WindowsCommandLine, ProgramNameInQuotesWithASpace) {
    const std::string exe = Out("with space\\veer pic.exe");
    ASSERT_TRUE(::CopyFileA(exe_.c_str(), exe.c_str(), TRUE));
    const auto r = veerpic_test::RunCommandLine("\"" + exe + "\" 90 " + in_ + " " + Out("o.bmp"),
                                                dir_.File("stdout"), dir_.File("stderr"));
    EXPECT_EQ(r.exitCode, 0) << Text(r.err);
    const Bytes out = veerpic_test::ReadBytes(Out("o.bmp"));
    EXPECT_EQ(veerpic_test::GetI32(out, 18), 23);  // turned a quarter: width and height swap
    EXPECT_EQ(veerpic_test::GetI32(out, 22), 37);
}

// Failures end as they do on other systems: the message, exit code 2, the
// earlier output as it was and no temporary beside it.
TEST_F(WindowsCommandLine, FailuresLeaveTheEarlierOutputAndNoTemporary) {
    const Bytes earlier = {'k', 'e', 'e', 'p'};
    const std::string readOnly = Out("read only.bmp");
    veerpic_test::WriteBytes(readOnly, earlier);
    ASSERT_TRUE(::SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));
    const std::string folder = Out("folder");
    fs::create_directory(folder);
    // Longer than the platform's path limit (260) and far longer.
    const std::string longName = Out(std::string(300, 'n') + ".bmp");
    const std::string longerName = Out(std::string(40, 'd') + "\\" + std::string(5000, 'm'));
    for (const std::string& out :
         {readOnly, folder, Out("missing\\out.bmp"), longName, longerName}) {
        const auto r = Run("30 " + in_ + " \"" + out + "\"");
        EXPECT_EQ(r.exitCode, 2) << out.size();
        EXPECT_EQ(Text(r.err), WriteLine(out)) << out.size();
    }
    for (const std::string& in : {folder, longName, longerName, Out("none.bmp")}) {
        const auto r = Run("30 \"" + in + "\" " + Out("o.bmp"));
        EXPECT_EQ(r.exitCode, 2) << in.size();
        EXPECT_EQ(Text(r.err), OpenLine(in)) << in.size();
    }
    EXPECT_EQ(veerpic_test::ReadBytes(readOnly), earlier);
    EXPECT_NE(::GetFileAttributesA(readOnly.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(fs::is_empty(folder));
    EXPECT_FALSE(fs::exists(Out("o.bmp")));
    EXPECT_EQ(Temporaries(dir_.path()), 0u);
    ::SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
