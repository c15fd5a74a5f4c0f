// The tool's output, byte for byte, for a fixed set of pictures and angles:
// the conformance suite's good files and generated pictures at every depth,
// through load, turn and save. Each output is reduced to a 64-bit hash and
// compared with tests/golden/expected.txt, so any change of a single output
// byte on any build, CPU or operating system fails here.
//
// A change of the pixels made on purpose regenerates the table: run the test
// with VEERPIC_GOLDEN_UPDATE set to the path of expected.txt.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bmp/bmp_reader.h"
#include "bmp/bmp_writer.h"
#include "rotate/rotate.h"
#include "support/test_support.h"
#include "surface/platform.h"

namespace {

using veerpic_test::Bytes;

std::uint64_t Fnv1a64(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::uint8_t b : bytes) {
        h = (h ^ b) * 0x100000001b3u;
    }
    return h;
}

// A picture with something in every pixel: diagonal bands in each channel,
// so that every kind of resampling error shows up in the bytes.
std::uint8_t Level(std::int32_t x, std::int32_t y, int channel) {
    return static_cast<std::uint8_t>((x * (3 + channel) + y * (5 + 2 * channel) + 40 * channel) *
                                     7);
}

Bytes Generated(std::int32_t width, std::int32_t height, std::uint16_t bitCount,
                std::uint32_t compression = 0, std::vector<std::uint32_t> table = {}) {
    const std::size_t stride = (static_cast<std::size_t>(width) * bitCount + 31) / 32 * 4;
    Bytes pixels(stride * static_cast<std::size_t>(height), 0);
    const bool masked = compression == 3 || compression == 6;
    if (bitCount <= 8 && table.empty()) {
        for (std::uint32_t i = 0; i < (1u << bitCount); ++i) {
            table.push_back((i * 37 % 256) | (i * 91 % 256) << 8 | (i * 173 % 256) << 16);
        }
    }
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = pixels.data() + static_cast<std::size_t>(y) * stride;
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint8_t b = Level(x, y, 0), g = Level(x, y, 1), r = Level(x, y, 2);
            switch (bitCount) {
                case 1:
                    row[x / 8] |= static_cast<std::uint8_t>(((x + y / 3) & 1) << (7 - x % 8));
                    break;
                case 4:
                    row[x / 2] |= static_cast<std::uint8_t>((b >> 4) << (x % 2 == 0 ? 4 : 0));
                    break;
                case 8:
                    row[x] = b;
                    break;
                case 16: {
                    // 5-5-5 as BI_RGB, 5-6-5 through the masks.
                    const std::uint32_t p =
                        masked
                            ? (r >> 3) << 11 | (g >> 2) << 5 | b >> 3
                            : static_cast<std::uint32_t>((r >> 3) << 10 | (g >> 3) << 5 | b >> 3);
                    row[2 * x] = static_cast<std::uint8_t>(p);
                    row[2 * x + 1] = static_cast<std::uint8_t>(p >> 8);
                    break;
                }
                case 24:
                    row[3 * x] = b;
                    row[3 * x + 1] = g;
                    row[3 * x + 2] = r;
                    break;
                default:
                    row[4 * x] = b;
                    row[4 * x + 1] = g;
                    row[4 * x + 2] = r;
                    row[4 * x + 3] = static_cast<std::uint8_t>(x * 11 + y);
                    break;
            }
        }
    }
    return veerpic_test::MakeBmp(width, height, bitCount, table, pixels, compression);
}

struct Picture {
    std::string name;
    Bytes file;  // empty: a suite file, read from tests/data
};

std::vector<Picture> Pictures() {
    std::vector<Picture> out;
    for (const char* name :
         {"pal1.bmp",     "pal1bg.bmp",     "pal1wb.bmp",      "pal4.bmp",      "pal4gs.bmp",
          "pal4rle.bmp",  "pal8-0.bmp",     "pal8.bmp",        "pal8gs.bmp",    "pal8nonsquare.bmp",
          "pal8os2.bmp",  "pal8rle.bmp",    "pal8topdown.bmp", "pal8v4.bmp",    "pal8v5.bmp",
          "pal8w124.bmp", "pal8w125.bmp",   "pal8w126.bmp",    "rgb16-565.bmp", "rgb16-565pal.bmp",
          "rgb16.bmp",    "rgb16bfdef.bmp", "rgb24.bmp",       "rgb24pal.bmp",  "rgb32.bmp",
          "rgb32bf.bmp",  "rgb32bfdef.bmp"}) {
        out.push_back({std::string("g/") + name, {}});
    }
    out.push_back({"gen1", Generated(37, 23, 1)});
    out.push_back({"gen4", Generated(37, 23, 4)});
    out.push_back({"gen8", Generated(37, 23, 8)});
    out.push_back({"gen16", Generated(37, 23, 16)});
    out.push_back({"gen16-565", Generated(37, 23, 16, 3, {0xF800, 0x07E0, 0x001F})});
    out.push_back({"gen24", Generated(37, 23, 24)});
    out.push_back({"gen32", Generated(37, 23, 32)});
    out.push_back(
        {"gen32-alpha", Generated(37, 23, 32, 6, {0xFF0000, 0x00FF00, 0x0000FF, 0xFF000000})});
    // Sizes that are no multiple of 2, 8 or 16, for the memory checkers.
    out.push_back({"odd24-301x203", Generated(301, 203, 24)});
    out.push_back({"odd8-97x13", Generated(97, 13, 8)});
    out.push_back({"odd24-5x3", Generated(5, 3, 24)});
    out.push_back({"gen24-1x1", Generated(1, 1, 24)});
    out.push_back({"gen24-1x40", Generated(1, 40, 24)});
    // Thin pictures whose corners land on a pixel boundary at quarter turns.
    out.push_back({"thin-2x359", Generated(2, 359, 24)});
    out.push_back({"thin-129x619", Generated(129, 619, 24)});
    out.push_back({"thin-100x851", Generated(100, 851, 24)});
    out.push_back({"thin-9x689", Generated(9, 689, 24)});
    // Sources of several bands of rows, each prefiltered on its own.
    out.push_back({"bands-24-300x700", Generated(300, 700, 24)});
    out.push_back({"bands-8-200x521", Generated(200, 521, 8)});
    return out;
}

std::vector<double> AnglesFor(const std::string& name) {
    if (name.rfind("thin-", 0) == 0) {
        return {90, 180, 270, 540};
    }
    if (name.rfind("bands-", 0) == 0) {
        return {30, -45, 7.5, 90};
    }
    if (name.rfind("g/", 0) == 0) {
        return {0, 30, -45, 90, 2e-309, 1e6};
    }
    return {0, 360, -720, 30, -45, 90, 180, 270, 540, 7.5, 200, 2e-309, 1e6};
}

std::string Key(const std::string& name, double angle) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", angle);
    return name + " " + text;
}

// Loads, turns and saves one picture; the hash of the output file, or 0 when
// any step failed.
std::uint64_t TurnAndHash(const veerpic_test::TempDir& dir, const Picture& picture, double angle) {
    std::string input = veerpic_test::DataPath("bmpsuite/" + picture.name);
    if (!picture.file.empty()) {
        input = dir.File("in.bmp");
        veerpic_test::WriteBytes(input, picture.file);
    }
    const std::string output = dir.File("out.bmp");
    platform::HBITMAP source = veerpic::LoadBitmapFile(input.c_str());
    if (source == nullptr) {
        return 0;
    }
    platform::HBITMAP turned = veerpic::RotateBitmap(source, angle);
    const bool saved = veerpic::SaveBitmapFile(output.c_str(), turned) != 0;
    platform::DeleteObject(source);
    platform::DeleteObject(turned);
    return saved ? Fnv1a64(veerpic_test::ReadBytes(output)) : 0;
}

// expected.txt: a line a picture, its name and then angle=hash for each run.
std::map<std::string, std::string> ReadExpected(const std::string& path) {
    std::map<std::string, std::string> table;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        std::string run;
        words >> name;
        while (!name.empty() && name[0] != '#' && words >> run) {
            const auto cut = run.find('=');
            table[name + " " + run.substr(0, cut)] = run.substr(cut + 1);
        }
    }
    return table;
}

TEST(Golden, EveryOutputKeepsItsBytes) {
    const std::string expectedPath = std::string(VEERPIC_GOLDEN_DIR) + "/expected.txt";
    const std::map<std::string, std::string> expected = ReadExpected(expectedPath);
    veerpic_test::TempDir dir;
    std::ostringstream table;
    table << "# picture angle=fnv1a64-of-output ... (regenerated only when pixels change on "
             "purpose)\n";
    int runs = 0;
    int differing = 0;
    for (const Picture& picture : Pictures()) {
        table << picture.name;
        for (double angle : AnglesFor(picture.name)) {
            const std::string key = Key(picture.name, angle);
            char hash[17];
            std::snprintf(hash, sizeof hash, "%016llx",
                          static_cast<unsigned long long>(TurnAndHash(dir, picture, angle)));
            table << ' ' << key.substr(picture.name.size() + 1) << '=' << hash;
            ++runs;
            const auto it = expected.find(key);
            if (it == expected.end() || it->second != hash) {
                ++differing;
                ADD_FAILURE() << key << ": output hash " << hash << ", expected "
                              << (it == expected.end() ? "(none)" : it->second);
            }
        }
        table << '\n';
    }
    if (const char* update = std::getenv("VEERPIC_GOLDEN_UPDATE")) {
        std::ofstream(update) << table.str();
    }
    std::printf("golden: %d runs, %d differ\n", runs, differing);
}

#if !defined(_WIN32)
// The same outputs with every section and working block set against an
// inaccessible page, at its end and then at its start: a read or write past
// a block stops the test there, whatever the heap would have put beside it.
TEST(Golden, NoTurnReachesPastItsBlocks) {
    const std::map<std::string, std::string> expected =
        ReadExpected(std::string(VEERPIC_GOLDEN_DIR) + "/expected.txt");
    veerpic_test::TempDir dir;
    for (bool guardStart : {false, true}) {
        const veerpic_test::GuardedBlocks guard(guardStart);
        for (const Picture& picture : Pictures()) {
            for (double angle : {30.0, -45.0, 90.0, 0.0}) {
                char hash[17];
                std::snprintf(hash, sizeof hash, "%016llx",
                              static_cast<unsigned long long>(TurnAndHash(dir, picture, angle)));
                const auto it = expected.find(Key(picture.name, angle));
                if (it != expected.end()) {
                    EXPECT_EQ(it->second, hash) << Key(picture.name, angle) << " " << guardStart;
                }
            }
        }
    }
}
#endif

}  // namespace
