// Files the writer makes open in an independent reader (Pillow) with the same
// pixels. Skipped, with a note, where Debian's python3-pil is not installed.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "bmp/bmp_writer.h"
#include "pixels/row_codec.h"
#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/services.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;
using veerpic_test::TempDir;

const char kPython[] = "/usr/bin/python3";

bool PillowAvailable() {
    const std::string command = std::string(kPython) + " -c 'import PIL' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

// Pillow's RGB bytes of the picture at `path`, top row first.
Bytes PillowRgb(const std::string& path) {
    const std::string command = std::string(kPython) +
                                " -c 'import sys; from PIL import Image; "
                                "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert(\"RGB\")"
                                ".tobytes())' '" +
                                path + "'";
    Bytes out;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return out;
    }
    std::uint8_t buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    pclose(pipe);
    return out;
}

TEST(IndependentReader, PillowSeesTheSamePixelsAtEveryDepth) {
    if (!PillowAvailable()) {
        GTEST_SKIP() << "python3-pil is not installed: the independent reader check is skipped";
    }
    for (WORD bits : {WORD{1}, WORD{4}, WORD{8}, WORD{16}, WORD{24}, WORD{32}}) {
        struct {
            BITMAPINFOHEADER header;
            RGBQUAD colors[256];
        } d{};
        const LONG width = 11;
        const LONG height = 6;
        const DWORD colors = bits <= 8 ? (1u << bits) : 0u;
        d.header = {40, width, height, 1, bits, BI_RGB, 0, 0, 0, colors, 0};
        std::mt19937 random(bits);
        for (DWORD i = 0; i < colors; ++i) {
            d.colors[i] = {static_cast<BYTE>(random()), static_cast<BYTE>(random()),
                           static_cast<BYTE>(random()), 0};
        }
        void* pixels = nullptr;
        HBITMAP bitmap = CreateDIBSection(nullptr, reinterpret_cast<BITMAPINFO*>(&d),
                                          DIB_RGB_COLORS, &pixels, nullptr, 0, sizeof d);
        ASSERT_NE(bitmap, nullptr);
        for (std::size_t i = 0; i < bitmap->pixels.bytes; ++i) {
            static_cast<std::uint8_t*>(pixels)[i] = static_cast<std::uint8_t>(random());
        }
        TempDir dir;
        const std::string path = dir.File("x.bmp");
        ASSERT_TRUE(veerpic::SaveBitmapFile(path.c_str(), bitmap));

        Bytes expected;
        Bytes row(static_cast<std::size_t>(width) * 4);
        for (LONG y = 0; y < height; ++y) {
            veerpic::pixels::RowCodec(bitmap->format)
                .Unpack(bitmap->RowFromTop(y), static_cast<std::size_t>(bitmap->format.width),
                        row.data());
            for (LONG x = 0; x < width; ++x) {
                expected.push_back(row[4 * x + 2]);
                expected.push_back(row[4 * x + 1]);
                expected.push_back(row[4 * x + 0]);
            }
        }
        Bytes seen = PillowRgb(path);
        if (bits == 16) {
            // Readers widen 5-bit channels to 8 bits differently; the 5 bits agree.
            for (Bytes* b : {&seen, &expected}) {
                for (std::uint8_t& v : *b) {
                    v = static_cast<std::uint8_t>(v >> 3);
                }
            }
        }
        EXPECT_EQ(seen, expected) << bits << " bits";
        DeleteObject(bitmap);
    }
}

}  // namespace
