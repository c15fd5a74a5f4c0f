#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using veerpic::SplitCommandLine;
using Args = std::vector<std::string>;

// 0x81..0x9F and 0xE0..0xFC lead a double-byte character, as in Shift-JIS.
bool ShiftJisLead(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool NoLead(unsigned char) {
    return false;
}

struct SplitCase {
    const char* name;
    std::string line;
    Args expected;
};

// The case's name is the test's; the listing shows what it expects.
void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.expected.size() << " arguments";
}

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, Cuts) {
    EXPECT_EQ(SplitCommandLine(GetParam().line, NoLead), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SplitTest,
    testing::Values(
        SplitCase{"plain", "veerpic 30 in.bmp out.bmp", {"veerpic", "30", "in.bmp", "out.bmp"}},
        SplitCase{"leading blanks and tabs", " \t veerpic\t30  a", {"veerpic", "30", "a"}},
        SplitCase{"quoted program name with space",
                  "\"C:\\Program Files\\veerpic.exe\" 1 2 3",
                  {"C:\\Program Files\\veerpic.exe", "1", "2", "3"}},
        SplitCase{"quoted angle keeps leading spaces", "v \"  30\" a b", {"v", "  30", "a", "b"}},
        SplitCase{"empty quotes give an empty argument", "v \"\" a b", {"v", "", "a", "b"}},
        SplitCase{"quoted stretch joins neighbours", "v ab\"c d\"ef", {"v", "abc def"}},
        SplitCase{"unclosed quote runs to the end", "v \"a b", {"v", "a b"}},
        SplitCase{"backslash quote outside", "v a\\\"b", {"v", "a\"b"}},
        SplitCase{"backslash quote inside", "v \"a\\\" b\"", {"v", "a\" b"}},
        SplitCase{"other backslashes stay", "v C:\\dir\\\\x.bmp", {"v", "C:\\dir\\\\x.bmp"}},
        SplitCase{"wildcards stay", "v * ?.bmp", {"v", "*", "?.bmp"}},
        SplitCase{"trailing blanks", "v a   ", {"v", "a"}},
        SplitCase{"name only", "veerpic", {"veerpic"}}, SplitCase{"empty line", "", {""}}),
    [](const testing::TestParamInfo<SplitCase>& p) {
        std::string n = p.param.name;
        for (char& c : n) {
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        }
        return n;
    });

TEST(SplitLeadBytes, TrailByteIsNeverAQuoteBlankOrBackslash) {
    // 0x81 0x22: a double-byte character whose trail byte is a double quote;
    // 0x83 0x5C: one whose trail byte is a backslash (before a quote).
    const std::string line = std::string("v a\x81\"b c") + " x\x83\\\"y";
    EXPECT_EQ(SplitCommandLine(line, ShiftJisLead), (Args{"v", "a\x81\"b", "c", "x\x83\\y"}));
    // Without the code page's lead bytes the same line cuts differently.
    EXPECT_NE(SplitCommandLine(line, NoLead), SplitCommandLine(line, ShiftJisLead));
    // A lead byte followed by a blank inside the program name and as last byte.
    EXPECT_EQ(SplitCommandLine("p\x81 q \x81", ShiftJisLead), (Args{"p\x81 q", "\x81"}));
}

}  // namespace
