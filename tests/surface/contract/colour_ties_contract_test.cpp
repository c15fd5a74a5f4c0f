// SetDIBits of 24- and 32-bit rows into sections with a colour table: a
// colour takes the entry nearest to it (the sum of the squared differences of
// its channels), and of entries at the same distance the one with the lowest
// index. So an exact match wins over near ones, a duplicate entry never wins
// over its first, and entries past the table's count are no candidates.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;

struct Tie {
    const char* name;
    WORD depth;                // the section's: 1, 4 or 8
    std::vector<DWORD> table;  // 0xRRGGBB; its length is the section's biClrUsed
    WORD sourceDepth;          // 24 or 32
    std::vector<DWORD>
        colours;  // one row of source pixels, 0xXXRRGGBB (XX: a 32-bit pixel's top byte)
    std::vector<unsigned> wants;  // the index each pixel takes
};

// 256 entries: grey 2i for i below 128 and white above, but 0x030303 at 200.
std::vector<DWORD> GreysWithAnOddOne() {
    std::vector<DWORD> t(256, 0xFFFFFF);
    for (DWORD i = 0; i < 128; ++i) {
        t[i] = 0x020202 * i;
    }
    t[200] = 0x030303;
    return t;
}

// 256 entries, white but for black at 0 and blue 2 at 255.
std::vector<DWORD> EndsNearBlack() {
    std::vector<DWORD> t(256, 0xFFFFFF);
    t[0] = 0x000000;
    t[255] = 0x000002;
    return t;
}

const Tie kTies[] = {
    {"1-bit, blue 1 between 0 and 2",
     1,
     {0x000000, 0x000002},
     24,
     {0x000001, 0x000002, 0x000001, 0x000000},
     {0, 1, 0, 0}},
    {"1-bit, the same tie with the entries swapped, 32-bit source",
     1,
     {0x000002, 0x000000},
     32,
     {0xFF000001, 0x00000001, 0x80000000},
     {0, 0, 1}},
    {"4-bit, ties across channels",
     4,
     {0x0A0000, 0x00000A, 0x000A00, 0xFFFFFF},
     24,
     {0x050005, 0x000505, 0x050500, 0x050505, 0xF0F0F0},
     {0, 1, 0, 0, 3}},
    {"4-bit, duplicates resolve to the first",
     4,
     {0x808080, 0x404040, 0x404040, 0x808080, 0x000000},
     32,
     {0x00404040, 0x7F808080, 0x00606060, 0x00000000, 0x00101010, 0xFF404040},
     {1, 0, 0, 4, 4, 1}},
    {"4-bit with three entries, none past them",
     4,
     {0x090909, 0x141414, 0x1E1E1E},
     24,
     {0x000000, 0x1E1E1E, 0xFFFFFF, 0x0F0F0F},
     {0, 2, 2, 1}},
    {"8-bit, an exact match at a high index wins over two near ones",
     8,
     GreysWithAnOddOne(),
     24,
     {0x030303, 0x050505, 0xFFFFFF, 0xFEFEFE, 0x030304},
     {200, 2, 128, 127, 200}},
    {"8-bit, a tie between the first and the last entry",
     8,
     EndsNearBlack(),
     32,
     {0xAB000001, 0x00000002, 0xFF000003, 0x12000001},
     {0, 255, 255, 0}},
};

// The palette index of pixel `x` of a row of `depth` bits, the leftmost in
// the highest bits of its byte.
unsigned IndexAt(const std::uint8_t* row, unsigned x, unsigned depth) {
    const unsigned bit = x * depth;
    return (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
}

TEST(ColourTiesContract, TheNearestEntryAndOnATieTheLowestIndex) {
    for (const Tie& t : kTies) {
        const auto width = static_cast<LONG>(t.colours.size());
        std::vector<std::uint8_t> description(sizeof(BITMAPINFOHEADER) + 4 * t.table.size());
        const BITMAPINFOHEADER header{
            40, width, 1, 1, t.depth, BI_RGB, 0, 0, 0, static_cast<DWORD>(t.table.size()), 0};
        std::memcpy(description.data(), &header, sizeof header);
        std::memcpy(description.data() + sizeof header, t.table.data(), 4 * t.table.size());
        void* bits = nullptr;
        HBITMAP section = CreateDIBSection(
            nullptr, reinterpret_cast<const BITMAPINFO*>(description.data()), DIB_RGB_COLORS, &bits,
            nullptr, 0, static_cast<DWORD>(description.size()));
        ASSERT_NE(section, nullptr) << t.name;

        const BITMAPINFOHEADER source{40, width, 1, 1, t.sourceDepth, BI_RGB, 0, 0, 0, 0, 0};
        const unsigned pixelBytes = t.sourceDepth / 8;
        std::vector<std::uint8_t> row((t.colours.size() * pixelBytes + 3) / 4 * 4);
        for (std::size_t x = 0; x < t.colours.size(); ++x) {
            for (unsigned b = 0; b < pixelBytes; ++b) {
                row[x * pixelBytes + b] = static_cast<std::uint8_t>(t.colours[x] >> (8 * b));
            }
        }
        EXPECT_EQ(SetDIBits(nullptr, section, 0, 1, row.data(),
                            reinterpret_cast<const BITMAPINFO*>(&source), DIB_RGB_COLORS,
                            static_cast<DWORD>(row.size()), sizeof source),
                  1)
            << t.name;
        std::vector<unsigned> got;
        for (unsigned x = 0; x < t.colours.size(); ++x) {
            got.push_back(IndexAt(static_cast<const std::uint8_t*>(bits), x, t.depth));
        }
        EXPECT_EQ(got, t.wants) << t.name;
        EXPECT_TRUE(DeleteObject(section)) << t.name;
    }
    // Nothing held: bitmaps, DCs, heap blocks, files, temporaries.
    const LiveCounts l = GetLiveCounts();
    EXPECT_EQ((std::vector<long>{l.bitmaps, l.dcs, l.heapBlocks, l.files, l.temporaries}),
              std::vector<long>(5, 0));
}

}  // namespace
