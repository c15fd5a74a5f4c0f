// A BMP file that ends anywhere: inside its file header, its info header, its
// colour table, the gap its bfOffBits leaves before the pixels, or its
// pixels (mid-row, on a row boundary, one byte short), uncompressed and
// RLE8. LoadImageA takes only a whole file and refuses every cut one with
// ERROR_INVALID_DATA, holding nothing afterwards. The same bytes given to
// the section services, as the tool's own reading gives them (a section made
// from the bytes between the file header and the pixels, then SetDIBits of
// the pixel bytes there are), give the rows the file holds and black for the
// rest. On POSIX a FIFO delivering the same bytes gives LoadImageA's result
// for the file, and the next reading of the FIFO gets every byte it sent.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include <cstdio>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;

using Picture = std::vector<std::string>;  // bottom row first, one digit a palette index

constexpr std::size_t kGap = 6;
constexpr std::size_t kPixels = 54 + 16 + kGap;  // bfOffBits

// A 4 x 3 picture at 8 bits with 4 colour entries (black first) and a gap of
// kGap bytes between the table and the pixels: bytes 0-13 the file header,
// 14-53 the info header, 54-69 the table, 70-75 the gap, then the pixels.
Bytes File(bool rle) {
    const Bytes raw = {1, 2, 3, 1, 2, 2, 2, 2, 3, 1, 2, 3};
    // 1 1 3 3 | 2 2 2 2 | 3 1 1 1: runs, the end of each line, the end.
    const Bytes runs = {2, 1, 2, 3, 0, 0, 4, 2, 0, 0, 1, 3, 3, 1, 0, 1};
    Bytes file = veerpic_test::MakeBmp(4, 3, 8, {0x000000, 0xFF0000, 0x00FF00, 0x0000FF},
                                       rle ? runs : raw, rle ? BI_RLE8 : BI_RGB);
    file.insert(file.begin() + 70, kGap, 0xEE);
    file[2] = static_cast<std::uint8_t>(file.size());  // bfSize and bfOffBits, both below 256
    file[10] = static_cast<std::uint8_t>(kPixels);
    return file;
}

struct Cut {
    const char* where;
    bool rle;
    std::size_t keep;  // bytes of the file kept
    Picture rows;      // what the section services make of them; none before the pixels
};

const Cut kCuts[] = {
    {"inside the file header", false, 5, {}},
    {"one byte short of the file header", true, 13, {}},
    {"right after the file header", false, 14, {}},
    {"inside the info header", false, 30, {}},
    {"inside the info header", true, 50, {}},
    {"inside the colour table", false, 60, {}},
    {"right after the colour table", true, 70, {}},
    {"inside the gap", false, 73, {}},
    {"inside the gap", true, 75, {}},
    {"where the pixels start", false, kPixels, {"0000", "0000", "0000"}},
    {"mid-row", false, kPixels + 2, {"1200", "0000", "0000"}},
    {"on a row boundary", false, kPixels + 4, {"1231", "0000", "0000"}},
    {"mid-row in the last row", false, kPixels + 10, {"1231", "2222", "3100"}},
    {"one byte short", false, kPixels + 11, {"1231", "2222", "3120"}},
    {"nowhere", false, kPixels + 12, {"1231", "2222", "3123"}},
    {"where the pixels start", true, kPixels, {"0000", "0000", "0000"}},
    {"between a run's count and its value", true, kPixels + 1, {"0000", "0000", "0000"}},
    {"mid-row", true, kPixels + 2, {"1100", "0000", "0000"}},
    {"on a row boundary", true, kPixels + 6, {"1133", "0000", "0000"}},
    {"mid-row in the last row", true, kPixels + 12, {"1133", "2222", "3000"}},
    {"one byte short", true, kPixels + 15, {"1133", "2222", "3111"}},
    {"nowhere", true, kPixels + 16, {"1133", "2222", "3111"}},
};

// The rows of an 8-bit 4 x 3 section, through GetDIBits.
Picture Rows(HBITMAP bitmap) {
    struct {
        BITMAPINFOHEADER header;
        RGBQUAD colors[256];
    } info{{40, 4, 3, 1, 8, BI_RGB, 0, 0, 0, 0, 0}, {}};
    std::uint8_t bits[12] = {};
    HDC dc = CreateCompatibleDC(nullptr);
    const int rows = GetDIBits(dc, bitmap, 0, 3, bits, reinterpret_cast<BITMAPINFO*>(&info),
                               DIB_RGB_COLORS, sizeof bits, sizeof info);
    DeleteDC(dc);
    Picture picture;
    for (int y = 0; y < rows; ++y) {
        std::string row;
        for (int x = 0; x < 4; ++x) {
            row += static_cast<char>('0' + bits[4 * y + x]);
        }
        picture.push_back(row);
    }
    return picture;
}

// LoadImageA's section as rows, or the code it refused with as "error N".
Picture Load(const std::string& path) {
    SetLastError(0);
    HANDLE loaded = LoadImageA(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0,
                               LR_LOADFROMFILE | LR_CREATEDIBSECTION);
    if (loaded == nullptr) {
        return {"error " + std::to_string(GetLastError())};
    }
    const Picture picture = Rows(static_cast<HBITMAP>(loaded));
    DeleteObject(loaded);
    return picture;
}

// The section services given the bytes as the tool's own reading gives them.
Picture ThroughSections(const Bytes& cut) {
    const auto* info = reinterpret_cast<const BITMAPINFO*>(cut.data() + 14);
    HBITMAP section = CreateDIBSection(nullptr, info, DIB_RGB_COLORS, nullptr, nullptr, 0,
                                       static_cast<DWORD>(kPixels - 14));
    if (section == nullptr) {
        return {"no section"};
    }
    const int set =
        SetDIBits(nullptr, section, 0, 3, cut.data() + kPixels, info, DIB_RGB_COLORS,
                  static_cast<DWORD>(cut.size() - kPixels), static_cast<DWORD>(kPixels - 14));
    const Picture picture = set == 3 ? Rows(section) : Picture{"SetDIBits gave 0"};
    DeleteObject(section);
    return picture;
}

TEST(StreamCutsContract, AFileThatEndsAnywhere) {
    veerpic_test::TempDir dir;
    for (const Cut& c : kCuts) {
        Bytes bytes = File(c.rle);
        const bool whole = c.keep == bytes.size();
        bytes.resize(c.keep);
        const std::string label = std::string(c.rle ? "RLE8, " : "uncompressed, ") + "cut " +
                                  c.where + " (" + std::to_string(c.keep) + " bytes)";
        const std::string path = dir.File("cut.bmp");
        veerpic_test::WriteBytes(path, bytes);
        const Picture loaded = Load(path);
        EXPECT_EQ(loaded, whole ? c.rows : Picture{"error 13"}) << label;
        if (!c.rows.empty()) {
            EXPECT_EQ(ThroughSections(bytes), c.rows) << label;
        }
#if !defined(_WIN32)
        const std::string fifo = dir.File("cut.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        {
            const veerpic_test::FifoWriter writer(fifo, bytes);
            EXPECT_EQ(Load(fifo), loaded) << label << ", through a FIFO";
            // A stream the loader could not use is kept, with the open FIFO,
            // for the next reading of the same path.
            if (!whole && GetLiveCounts().files == 1) {
                HANDLE again = CreateFileA(fifo.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                Bytes read;
                std::uint8_t buffer[64];
                DWORD got = 0;
                while (ReadFile(again, buffer, sizeof buffer, &got, nullptr) && got != 0) {
                    read.insert(read.end(), buffer, buffer + got);
                }
                EXPECT_EQ(read, bytes) << label << ", read again";
                EXPECT_TRUE(CloseHandle(again)) << label;
            } else if (!whole) {
                ADD_FAILURE() << label << ": the stream was not kept for a second reading";
            }
        }
        std::remove(fifo.c_str());
#endif
        // Nothing held: bitmaps, DCs, heap blocks, files, temporaries.
        const LiveCounts l = GetLiveCounts();
        EXPECT_EQ((std::vector<long>{l.bitmaps, l.dcs, l.heapBlocks, l.files, l.temporaries}),
                  std::vector<long>(5, 0))
            << label;
    }
}

}  // namespace
