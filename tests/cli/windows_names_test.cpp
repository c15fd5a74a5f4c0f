// Every file name a Windows user has: names of any script reach the file
// services in the process's code page (UTF-8, as the tool's manifest asks),
// the messages name them byte for byte, paths may pass 260 characters, and
// where the code page is a double-byte one its trail bytes are never taken
// for backslashes.
// The tool's headers come before windows.h, whose macros would rewrite the
// platform constants they declare.
// clang-format off
#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include <windows.h>
// clang-format on

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/console_windows.h"
#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::TempDir;
namespace fs = std::filesystem;

std::wstring Wide(const std::string& utf8) {
    return veerpic_test::Widen(utf8, CP_UTF8);
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The names in `folder`, counted with the platform's own listing (the
// standard library's stops at 260 characters on some systems).
std::size_t Entries(const fs::path& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE find = ::FindFirstFileW((L"\\\\?\\" + folder.wstring() + L"\\*").c_str(), &found);
    std::size_t n = 0;
    if (find == INVALID_HANDLE_VALUE) {
        return n;
    }
    do {
        const std::wstring name = found.cFileName;
        n += name != L"." && name != L"..";
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    return n;
}

class WindowsNames : public ::testing::Test {
  protected:
    // Runs the tool with `arguments` (UTF-8), its streams in files.
    veerpic_test::ProcessResult Run(const std::string& arguments) {
        // Built by appending: GCC 12 warns falsely (-Wrestrict) on the
        // chain of operator+ here once it is inlined.
        std::string line = "\"";
        line.append(VEERPIC_EXE).append("\" ").append(arguments);
        return veerpic_test::RunCommandLine(Wide(line), dir_.File("stdout"), dir_.File("stderr"));
    }
    fs::path Path(const std::string& utf8) const { return dir_.path() / Wide(utf8); }
    // The folder as the tool's arguments spell it (UTF-8, backslashes).
    std::string Arg(const std::string& utf8) const {
        std::string path = dir_.path().string() + "\\" + utf8;
        for (char& c : path) {
            c = c == '/' ? '\\' : c;
        }
        return "\"" + path + "\"";
    }

    TempDir dir_;
};

TEST_F(WindowsNames, NamesOfEveryScriptAndLongPathsAreWritten) {
    veerpic_test::WriteBytes(dir_.File("in.bmp"), veerpic_test::Picture(37, 23));
    ASSERT_EQ(Run("30 " + Arg("in.bmp") + " " + Arg("plain.bmp")).exitCode, 0);
    const Bytes expected = veerpic_test::ReadBytes(dir_.File("plain.bmp"));
    // Folders of 240 to 300 characters, and a 300-character output path.
    std::vector<std::string> names = {"фото.bmp", "写真.bmp", "🙂.bmp", "Ünïcødé café ё 写.bmp"};
    const std::size_t base = dir_.path().string().size() + 1;
    for (std::size_t folder : {240u, 266u, 272u, 300u}) {
        std::string name;
        while (base + name.size() + 61 < folder) {
            name += std::string(60, 'd') + "\\";
        }
        name += std::string(folder - base - name.size(), 'e');
        fs::create_directories(Path(name));
        names.push_back(name + "\\o.bmp");
    }
    names.push_back(std::string(300 - base - 4, 'p') + ".bmp");
    names.back().replace(120, 1, "\\");
    fs::create_directories(Path(names.back().substr(0, 120)));
    for (const std::string& name : names) {
        SCOPED_TRACE(name.size());
        fs::copy_file(dir_.File("in.bmp"), Path("in " + std::to_string(name.size()) + ".bmp"));
        const auto r =
            Run("30 " + Arg("in " + std::to_string(name.size()) + ".bmp") + " " + Arg(name));
        EXPECT_EQ(r.exitCode, 0) << Text(r.err);
        EXPECT_EQ(veerpic_test::ReadBytesAt(Path(name)), expected);
        // Nothing beside an output in a folder of its own: no temporary, no
        // name half made.
        if (const std::size_t slash = name.rfind('\\'); slash != std::string::npos) {
            EXPECT_EQ(Entries(Path(name.substr(0, slash))), 1u);
        }
    }
    // in.bmp, plain.bmp, the two streams, an input for each name, the four
    // outputs of the names above, the two folders: nothing else.
    EXPECT_EQ(Entries(dir_.path()), 4 + names.size() + 4 + 2);
}

// A missing input is named as typed, in UTF-8, with CR LF, to a file; a name
// whose characters no code page holds (a lone surrogate) is missing too.
TEST_F(WindowsNames, MessagesNameTheFileAsTyped) {
    const auto r = Run("30 " + Arg("нет файла.bmp") + " " + Arg("o.bmp"));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(Text(r.err),
              "ERROR: cannot open file '" + dir_.path().string() + "\\нет файла.bmp'\r\n");
    const std::wstring lone = L"\"" + Wide(VEERPIC_EXE) + L"\" 30 x\xD800.bmp o.bmp";
    const auto odd = veerpic_test::RunCommandLine(lone, dir_.File("stdout"), dir_.File("stderr"));
    EXPECT_EQ(odd.exitCode, 2);
    EXPECT_EQ(Text(odd.err).rfind("ERROR: cannot open file 'x", 0), 0u) << Text(odd.err);
    EXPECT_FALSE(fs::exists(dir_.File("o.bmp")));
}

// The console is given characters: the line's bytes read in the process's
// code page, bytes that are none replaced, CR LF for each line end.
TEST(WindowsConsole, LinesBecomeTheirCharacters) {
    struct Case {
        std::string bytes;
        unsigned codePage;
        std::wstring text;
    };
    const Case cases[] = {
        {"фото\n", CP_UTF8, L"фото\r\n"},
        {"a\xff"
         "b\n",
         CP_UTF8,
         L"a\xFFFD"
         L"b\r\n"},
        {"\xE9t\xE9", 1252, L"été"},
        {"x\x95\x5C"
         ".bmp",
         932, L"x表.bmp"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(veerpic::ConsoleText(c.bytes, c.codePage), c.text) << c.bytes;
    }
}

// Cut with a double-byte code page, a trail byte of 0x5C before a quote is
// part of its character; in UTF-8 there are no lead bytes at all.
TEST(WindowsCodePages, CommandLinesAreCutWithTheProcessCodePage) {
    const auto lead932 = [](unsigned char b) { return ::IsDBCSLeadByteEx(932, b) != 0; };
    const auto leadUtf8 = [](unsigned char b) { return ::IsDBCSLeadByteEx(CP_UTF8, b) != 0; };
    const std::string line = "v \x95\x5C\"a b\" c";
    const std::vector<std::string> cut932 = {"v",
                                             "\x95\x5C"
                                             "a b",
                                             "c"};
    const std::vector<std::string> cutUtf8 = {"v", "\x95\"a", "b c"};
    EXPECT_EQ(veerpic::SplitCommandLine(line, lead932), cut932);
    EXPECT_EQ(veerpic::SplitCommandLine(line, leadUtf8), cutUtf8);
    // No byte of UTF-8 is a lead byte there, whatever its value.
    for (int b = 0; b < 256; ++b) {
        EXPECT_FALSE(leadUtf8(static_cast<unsigned char>(b))) << b;
    }
}

// Run with code page 932 as the process's own (the tests' build has no
// manifest; a separate test entry starts it so): names whose characters end
// in the byte of a backslash (表, ソ, 能) in folders and files.
TEST(CodePage932, NamesWhoseTrailByteIsABackslash) {
    if (::GetACP() != 932) {
        // The test entry that starts the tests so must see it hold.
        ASSERT_EQ(std::getenv("VEERPIC_EXPECT_CODE_PAGE"), nullptr);
        GTEST_SKIP() << "the process's code page is " << ::GetACP() << ", not 932";
    }
    TempDir dir;
    const fs::path folder = dir.path() / L"表ソ";
    fs::create_directory(folder);
    veerpic_test::WriteBytesAt(folder / L"能.bmp", veerpic_test::Picture(20, 10));
    const std::string base = dir.path().string() + "\\\x95\x5C\x83\x5C\\";
    platform::HBITMAP bitmap = veerpic::LoadBitmapFile((base + "\x94\x5C.bmp").c_str());
    ASSERT_NE(bitmap, nullptr);
    EXPECT_TRUE(veerpic::SaveBitmapFile((base + "\x95\x5C\x83\x5C.bmp").c_str(), bitmap));
    platform::DeleteObject(bitmap);
    EXPECT_TRUE(fs::exists(folder / L"表ソ.bmp"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder)) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

}  // namespace
