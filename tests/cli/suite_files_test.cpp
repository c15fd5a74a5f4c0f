// Every questionable and bad file of the BMP conformance suite through the
// tool at 0 and at 30 degrees: a written picture or the open message, never
// anything else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <string>

#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::GetU16;
using veerpic_test::GetU32;
using veerpic_test::RunTool;
using veerpic_test::TempDir;

// Files that neither the platform loader nor the reader's own path opens;
// tests/data/bmpsuite/DECISIONS.md says why for each.
const std::set<std::string> kRefused = {
    "q/pal1huffmsb.bmp",   "q/pal2.bmp",           "q/pal2color.bmp", "q/rgb24jpeg.bmp",
    "q/rgb24png.bmp",      "q/rgb24rle24.bmp",     "q/rgba64.bmp",    "b/badbitcount.bmp",
    "b/badheadersize.bmp", "b/badpalettesize.bmp", "b/badplanes.bmp", "b/badwidth.bmp",
    "b/reallybig.bmp",     "b/rgb16-880.bmp",      "b/rletopdown.bmp"};

class SuiteFile : public testing::TestWithParam<std::string> {};

TEST_P(SuiteFile, Runs) {
    const std::string name = GetParam();
    const std::string input = veerpic_test::DataPath("bmpsuite/" + name);
    TempDir dir;
    const std::string output = dir.File("out.bmp");
    for (const char* angle : {"0", "30"}) {
        const auto r = RunTool({angle, input, output});
        EXPECT_EQ(r.out, "");
        if (kRefused.count(name) != 0) {
            EXPECT_EQ(r.exitCode, 2) << angle;
            EXPECT_EQ(r.err, "ERROR: cannot open file '" + input + "'\n") << angle;
            EXPECT_FALSE(std::filesystem::exists(output));
            continue;
        }
        ASSERT_EQ(r.exitCode, 0) << angle << ": " << r.err;
        EXPECT_EQ(r.err, "");
        const Bytes file = veerpic_test::ReadBytes(output);
        ASSERT_GE(file.size(), 54u);
        EXPECT_EQ(GetU32(file, 2), file.size());
        if (std::string(angle) == "30") {
            EXPECT_EQ(GetU16(file, 28), 24);
        }
    }
}

std::vector<std::string> SuiteFiles() {
    std::vector<std::string> names;
    for (const char* set : {"q", "b"}) {
        for (const auto& entry : std::filesystem::directory_iterator(
                 veerpic_test::DataPath(std::string("bmpsuite/") + set))) {
            names.push_back(std::string(set) + "/" + entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

INSTANTIATE_TEST_SUITE_P(QuestionableAndBad, SuiteFile, testing::ValuesIn(SuiteFiles()),
                         [](const testing::TestParamInfo<std::string>& p) {
                             std::string n = p.param;
                             for (char& c : n) {
                                 if (!std::isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             }
                             return n;
                         });

}  // namespace
