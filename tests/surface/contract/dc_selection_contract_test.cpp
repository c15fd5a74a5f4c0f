// What a memory device context remembers of the bitmaps selected into it,
// step by step: SelectObject gives back what the DC held before (the stock
// bitmap first, which can be selected back); a bitmap sits in one DC at a
// time; selecting another object, or deleting the DC, releases it; a selected
// bitmap cannot be deleted or read with GetDIBits; SetStretchBltMode gives
// back the mode before; PlgBlt needs a bitmap in both DCs and the halftone
// mode in its destination.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;

constexpr DWORD kMarker = 4242;  // the code before each step
constexpr DWORD kUnchanged = 0;  // a step that leaves the code as it was
constexpr DWORD kAnyCode = ~0u;  // a failure whose code is not the API's to say

struct Step {
    const char* what;
    std::function<std::string()> call;
    const char* result;  // the object's name ("stock", "A", "B", "null") or the number
    DWORD code;
};

HBITMAP Section() {
    const BITMAPINFOHEADER h{40, 2, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    return CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(&h), DIB_RGB_COLORS,
                            nullptr, nullptr, 0, sizeof h);
}

TEST(DcSelectionContract, TheBookkeepingStepByStep) {
    HBITMAP a = Section();
    HBITMAP b = Section();
    HDC one = CreateCompatibleDC(nullptr);
    HDC two = CreateCompatibleDC(nullptr);
    HDC reader = CreateCompatibleDC(nullptr);
    ASSERT_TRUE(a != nullptr && b != nullptr && one != nullptr && two != nullptr &&
                reader != nullptr);
    HGDIOBJ stock = nullptr;  // learnt from the first selection
    const auto name = [&](HGDIOBJ object) -> std::string {
        return object == nullptr ? "null"
               : object == a     ? "A"
               : object == b     ? "B"
               : object == stock ? "stock"
                                 : "another object";
    };
    const auto select = [&](HDC dc, HGDIOBJ object) {
        return [&, dc, object] { return name(SelectObject(dc, object)); };
    };
    const auto selectStock = [&](HDC dc) {
        return [&, dc] { return name(SelectObject(dc, stock)); };
    };
    const auto number = [](long value) { return std::to_string(value); };
    const auto rows = [&](HBITMAP bitmap) {
        return [&, bitmap] {
            struct {
                BITMAPINFOHEADER header;
                std::uint8_t rest[1024];
            } info{{40, 2, 2, 1, 24, BI_RGB, 0, 0, 0, 0, 0}, {}};
            std::uint8_t bits[16] = {};
            return number(GetDIBits(reader, bitmap, 0, 2, bits,
                                    reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS,
                                    sizeof bits, sizeof info));
        };
    };
    const auto mode = [&](HDC dc, int m) {
        return [&, dc, m] { return number(SetStretchBltMode(dc, m)); };
    };
    const auto draw = [&](HDC to, HDC from) {
        return [&, to, from] {
            const POINT corners[3] = {{0, 0}, {2, 0}, {0, 2}};
            return number(PlgBlt(to, corners, from, 0, 0, 2, 2, nullptr, 0, 0));
        };
    };
    const Step steps[] = {
        {"A into DC one",
         [&] {
             HGDIOBJ first = SelectObject(one, a);
             stock = first != a && first != b ? first : nullptr;
             return name(first);
         },
         "stock", kUnchanged},
        {"B into DC two", select(two, b), "stock", kUnchanged},
        {"A into DC two while DC one holds it", select(two, a), "null", ERROR_INVALID_PARAMETER},
        {"B again into DC two", select(two, b), "B", kUnchanged},
        {"A again into DC one", select(one, a), "A", kUnchanged},
        {"delete A while selected", [&] { return number(DeleteObject(a)); }, "0", kAnyCode},
        {"GetDIBits of A while selected", rows(a), "0", ERROR_INVALID_PARAMETER},
        {"the stock bitmap back into DC two", selectStock(two), "B", kUnchanged},
        {"the stock bitmap again into DC two", selectStock(two), "stock", kUnchanged},
        {"B into DC one, which releases A", select(one, b), "A", kUnchanged},
        {"GetDIBits of A once released", rows(a), "2", kUnchanged},
        {"A into DC two", select(two, a), "stock", kUnchanged},
        {"the mode of a new DC", mode(one, HALFTONE), "1", kUnchanged},
        {"the halftone mode again", mode(one, HALFTONE), "4", kUnchanged},
        {"mode 0", mode(one, 0), "0", ERROR_INVALID_PARAMETER},
        {"mode 5", mode(one, 5), "0", ERROR_INVALID_PARAMETER},
        {"the mode after two refusals", mode(one, HALFTONE), "4", kUnchanged},
        {"PlgBlt into a DC without the halftone mode", draw(two, one), "0", ERROR_NOT_SUPPORTED},
        {"PlgBlt into a halftone DC", draw(one, two), "1", kUnchanged},
        {"delete B while selected", [&] { return number(DeleteObject(b)); }, "0", kAnyCode},
        {"the stock bitmap into DC one", selectStock(one), "B", kUnchanged},
        {"delete B once released", [&] { return number(DeleteObject(b)); }, "1", kUnchanged},
        {"PlgBlt into a DC that holds the stock bitmap", draw(one, two), "0",
         ERROR_INVALID_PARAMETER},
        {"the halftone mode for DC two", mode(two, HALFTONE), "1", kUnchanged},
        {"PlgBlt from a DC that holds the stock bitmap", draw(two, one), "0",
         ERROR_INVALID_PARAMETER},
        {"delete DC two, which holds A", [&] { return number(DeleteDC(two)); }, "1", kUnchanged},
        {"A into DC one once its DC is gone", select(one, a), "stock", kUnchanged},
        {"delete DC one, which holds A", [&] { return number(DeleteDC(one)); }, "1", kUnchanged},
        {"delete A once its DC is gone", [&] { return number(DeleteObject(a)); }, "1", kUnchanged},
    };
    for (const Step& s : steps) {
        SetLastError(kMarker);
        EXPECT_EQ(s.call(), s.result) << s.what;
        if (s.code != kAnyCode) {
            EXPECT_EQ(GetLastError(), s.code == kUnchanged ? kMarker : s.code) << s.what;
        }
    }
    EXPECT_TRUE(DeleteDC(reader));
    // Nothing held: bitmaps, DCs, heap blocks, files, temporaries.
    const LiveCounts l = GetLiveCounts();
    EXPECT_EQ((std::vector<long>{l.bitmaps, l.dcs, l.heapBlocks, l.files, l.temporaries}),
              std::vector<long>(5, 0));
}

}  // namespace
