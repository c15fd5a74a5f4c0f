// GetDIBits into a block of the process heap gives what it gives into any
// other memory, however the services fill the block: rows in the order and
// layout asked for, row ends cleared, only the rows asked for, nothing past
// the picture; a second copy after the section was drawn on holds the
// drawing while the first keeps the picture as it was; and a file the block
// is written to gets what the block holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;

struct Description {
    BITMAPINFOHEADER header;
    RGBQUAD colors[256];
};

struct Case {
    const char* what;
    LONG width, height;
    WORD depth;
    std::vector<DWORD> masks;  // a section of BI_BITFIELDS, where given
    bool dirtyEnds;            // the section holds bits past its rows' pixels
    bool topDown;              // rows asked for top row first
    UINT fewer;                // rows fewer than the picture's asked for
    DWORD extra;               // bytes of the block past the picture
};

// Each a picture of more than a megabyte.
const Case kCases[] = {
    {"as the section lies", 1200, 700, 24, {}, false, false, 0, 0},
    {"top row first", 1200, 700, 24, {}, false, true, 0, 0},
    {"bits past the rows' pixels", 1201, 700, 24, {}, true, false, 0, 0},
    {"a 5-6-5 section, asked for as 5-5-5",
     1200,
     700,
     16,
     {0xF800, 0x07E0, 0x001F},
     false,
     false,
     0,
     0},
    {"one row fewer than the picture", 1200, 700, 24, {}, false, false, 1, 0},
    {"a block larger than the picture", 1200, 700, 24, {}, false, false, 0, 1 << 20},
};

HBITMAP Section(const Case& c, void** bits) {
    struct {
        BITMAPINFOHEADER header;
        DWORD masks[3];
    } d{{40, c.width, c.height, 1, c.depth, c.masks.empty() ? BI_RGB : BI_BITFIELDS, 0, 0, 0, 0, 0},
        {}};
    for (std::size_t i = 0; i < c.masks.size(); ++i) {
        d.masks[i] = c.masks[i];
    }
    return CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&d), DIB_RGB_COLORS, bits,
                            nullptr, 0, sizeof d);
}

// GetDIBits of the case's rows into `out`, `bytes` long.
int Copy(HBITMAP bitmap, const Case& c, void* out, DWORD bytes) {
    Description d{};
    d.header = {40, c.width, c.topDown ? -c.height : c.height, 1, c.depth, BI_RGB, 0, 0, 0, 0, 0};
    HDC dc = CreateCompatibleDC(nullptr);
    const int rows = GetDIBits(dc, bitmap, 0, static_cast<UINT>(c.height) - c.fewer, out,
                               reinterpret_cast<BITMAPINFO*>(&d), DIB_RGB_COLORS, bytes, sizeof d);
    DeleteDC(dc);
    return rows;
}

TEST(HeapCopiesContract, AHeapBlockGetsWhatAnyMemoryGets) {
    for (const Case& c : kCases) {
        void* bits = nullptr;
        HBITMAP bitmap = Section(c, &bits);
        ASSERT_NE(bitmap, nullptr) << c.what;
        BITMAP record{};
        ASSERT_NE(GetObjectA(bitmap, sizeof record, &record), 0) << c.what;
        const std::size_t stride = static_cast<std::size_t>(record.bmWidthBytes);
        const std::size_t size = stride * static_cast<std::size_t>(c.height);
        const std::size_t used = static_cast<std::size_t>(c.width) * c.depth / 8;
        std::mt19937 random(11);
        auto* pixels = static_cast<std::uint8_t*>(bits);
        for (std::size_t i = 0; i < size; ++i) {
            pixels[i] = c.dirtyEnds || i % stride < used ? static_cast<std::uint8_t>(random()) : 0;
        }
        const auto bytes = static_cast<DWORD>(size + c.extra);
        std::vector<std::uint8_t> expected(bytes, 0xCC);
        ASSERT_EQ(Copy(bitmap, c, expected.data(), bytes), c.height - static_cast<LONG>(c.fewer))
            << c.what;
        void* block = HeapAlloc(GetProcessHeap(), 0, bytes);
        ASSERT_NE(block, nullptr) << c.what;
        std::memset(block, 0xCC, bytes);
        EXPECT_EQ(Copy(bitmap, c, block, bytes), c.height - static_cast<LONG>(c.fewer)) << c.what;
        EXPECT_EQ(std::memcmp(block, expected.data(), bytes), 0) << c.what;
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block));
        EXPECT_TRUE(DeleteObject(bitmap));
    }
    EXPECT_EQ(GetLiveCounts().heapBlocks + GetLiveCounts().bitmaps, 0);
}

TEST(HeapCopiesContract, ACopyAfterDrawingHoldsTheDrawing) {
    const Case& c = kCases[0];
    void* bits = nullptr;
    HBITMAP bitmap = Section(c, &bits);
    ASSERT_NE(bitmap, nullptr);
    const DWORD bytes = 1200 * 3 * 700;
    std::memset(bits, 0x11, bytes);
    void* before = HeapAlloc(GetProcessHeap(), 0, bytes);
    void* after = HeapAlloc(GetProcessHeap(), 0, bytes);
    ASSERT_TRUE(before != nullptr && after != nullptr);
    ASSERT_EQ(Copy(bitmap, c, before, bytes), c.height);
    std::memset(bits, 0x3C, bytes);  // drawn on
    ASSERT_EQ(Copy(bitmap, c, after, bytes), c.height);
    const std::vector<std::uint8_t> drawn(bytes, 0x3C);
    const std::vector<std::uint8_t> first(bytes, 0x11);
    EXPECT_EQ(std::memcmp(after, drawn.data(), bytes), 0);
    EXPECT_EQ(std::memcmp(bits, drawn.data(), bytes), 0);
    EXPECT_EQ(std::memcmp(before, first.data(), bytes), 0);
    HeapFree(GetProcessHeap(), 0, before);
    HeapFree(GetProcessHeap(), 0, after);
    EXPECT_TRUE(DeleteObject(bitmap));
}

// A block written to a file gives the file what the block holds: the picture
// as it was copied where nothing was written into the block, every byte
// written into it where something was, wherever it lies; for a part of the
// block that starts inside a page too, and after the section is gone.
TEST(HeapCopiesContract, AFileGetsWhatTheBlockHolds) {
    struct Edit {
        const char* what;
        std::size_t at, length;   // bytes of the block written into
        std::size_t from, count;  // the bytes written to the file
        bool sectionGone;
    };
    const Case& c = kCases[0];
    const std::size_t size = 1200 * 3 * 700;
    const std::size_t part = 1 << 20;
    const Edit kEdits[] = {
        {"nothing written", 0, 0, 0, size, false},
        {"its first byte", 0, 1, 0, size, false},
        {"its last byte", size - 1, 1, 0, size, false},
        {"a part from inside a page", 0, 0, 4099, part, false},
        {"a part, its last byte written", 4099 + part - 1, 1, 4099, part, false},
        {"nothing written, the section gone", 0, 0, 0, size, true},
    };
    veerpic_test::TempDir dir;
    const std::string path = dir.File("out.bin");
    const veerpic_test::Bytes head = {'B', 'M', '!'};
    for (const Edit& e : kEdits) {
        void* bits = nullptr;
        HBITMAP bitmap = Section(c, &bits);
        ASSERT_NE(bitmap, nullptr) << e.what;
        std::mt19937 random(5);
        for (std::size_t i = 0; i < size; ++i) {
            static_cast<std::uint8_t*>(bits)[i] = static_cast<std::uint8_t>(random());
        }
        auto* block = static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), 0, size));
        ASSERT_NE(block, nullptr) << e.what;
        ASSERT_EQ(Copy(bitmap, c, block, static_cast<DWORD>(size)), c.height) << e.what;
        for (std::size_t i = e.at; i < e.at + e.length; ++i) {
            block[i] ^= 0xFF;
        }
        std::memset(bits, 0x3C, size);  // drawn on after the copy
        if (e.sectionGone) {
            EXPECT_TRUE(DeleteObject(bitmap)) << e.what;
        }
        // The block's bytes between two others: each lands where the file's
        // position stood.
        veerpic_test::Bytes expected(e.count + 6);
        std::memcpy(expected.data(), head.data(), 3);
        std::memcpy(expected.data() + 3, block + e.from, e.count);
        std::memcpy(expected.data() + 3 + e.count, head.data(), 3);
        HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << e.what;
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(file, head.data(), 3, &written, nullptr)) << e.what;
        EXPECT_TRUE(WriteFile(file, block + e.from, static_cast<DWORD>(e.count), &written, nullptr))
            << e.what;
        EXPECT_EQ(written, e.count) << e.what;
        EXPECT_TRUE(WriteFile(file, head.data(), 3, &written, nullptr)) << e.what;
        EXPECT_TRUE(CloseHandle(file)) << e.what;
        EXPECT_EQ(veerpic_test::ReadBytes(path), expected) << e.what;
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, block)) << e.what;
        if (!e.sectionGone) {
            EXPECT_TRUE(DeleteObject(bitmap)) << e.what;
        }
    }
    const LiveCounts live = GetLiveCounts();
    EXPECT_EQ(live.heapBlocks + live.bitmaps + live.files, 0);
}

}  // namespace
