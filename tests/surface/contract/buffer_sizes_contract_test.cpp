// Every service that takes a length, given exactly the bytes it needs and
// one byte fewer. The exact length succeeds in full; one byte short fails
// with the service's code or delivers exactly what fits, as the service
// says; and no call reads or writes a byte past the length it was given: the
// bytes after it hold a sentinel, or the rest of a valid input that a call
// reading past its length would take.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"
#include "surface/platform.h"
#include "surface/testing.h"

namespace {

using namespace platform;
using veerpic_test::Bytes;

constexpr std::uint8_t kSentinel = 0xA5;
constexpr DWORD kMarker = 4242;  // the code before each call
constexpr DWORD kUnchanged = 0;  // a success: the code as it was
constexpr DWORD kAnyCode = ~0u;  // no code is the service's to set

using Call = std::function<long(std::uint8_t* buffer, DWORD length)>;
// What the buffer, or the object the call filled, holds afterwards; releases
// what the call made.
using Check = std::function<bool(const std::uint8_t* buffer)>;

struct SizeCase {
    std::string name;
    DWORD length;  // what the service is told the buffer holds
    Bytes input;   // what the buffer holds before the call, even past `length`
    Call call;
    long result;
    DWORD code;
    Check delivered;
};

// The case of the exact length and the case of one byte short, of one call.
void AddPair(std::vector<SizeCase>& cases, const std::string& name, DWORD exact, const Call& call,
             long exactResult, const Check& exactDelivered, long shortResult, DWORD shortCode,
             const Check& shortDelivered, const Bytes& input = {}) {
    cases.push_back(
        {name + ", exact", exact, input, call, exactResult, kUnchanged, exactDelivered});
    cases.push_back(
        {name + ", one short", exact - 1, input, call, shortResult, shortCode, shortDelivered});
}

// A description: the 40-byte header, then `tail` (masks or colour entries).
Bytes Describe(LONG width, LONG height, WORD depth, DWORD compression, DWORD colorsUsed,
               const std::vector<DWORD>& tail) {
    const BITMAPINFOHEADER h{40, width, height, 1, depth, compression, 0, 0, 0, colorsUsed, 0};
    Bytes d(sizeof h + 4 * tail.size());
    std::memcpy(d.data(), &h, sizeof h);
    if (!tail.empty()) {
        std::memcpy(d.data() + sizeof h, tail.data(), 4 * tail.size());
    }
    return d;
}

HBITMAP Create(const Bytes& description, void** bits) {
    return CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(description.data()),
                            DIB_RGB_COLORS, bits, nullptr, 0,
                            static_cast<DWORD>(description.size()));
}

// `count` colour entries, entry i 0x010203 times i: none black but the first.
std::vector<DWORD> Entries(DWORD count) {
    std::vector<DWORD> t(count);
    for (DWORD i = 0; i < count; ++i) {
        t[i] = 0x010203 * i;
    }
    return t;
}

Bytes Counting(std::size_t n, std::uint8_t first = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + i);
    }
    return b;
}

TEST(BufferSizesContract, ExactlyWhatIsNeededAndOneByteShort) {
    veerpic_test::TempDir dir;
    const std::filesystem::path temporaries = dir.path() / "temporaries";
    std::filesystem::create_directory(temporaries);
    const std::string folder = temporaries.string();
    std::vector<SizeCase> cases;

    // GetTempFileNameA: names in one folder are all of one length.
    std::size_t nameLength = 0;
    {
        char probe[4096] = {};
        ASSERT_NE(GetTempFileNameA(folder.c_str(), "vp", 0, probe, sizeof probe), 0u);
        nameLength = std::strlen(probe);
        ASSERT_TRUE(DeleteFileA(probe));
    }
    AddPair(
        cases, "GetTempFileNameA", static_cast<DWORD>(nameLength + 1),
        [&](std::uint8_t* b, DWORD n) -> long {
            return GetTempFileNameA(folder.c_str(), "vp", 0, reinterpret_cast<char*>(b), n) != 0;
        },
        1,
        [&](const std::uint8_t* b) {
            const char* name = reinterpret_cast<const char*>(b);
            return std::strlen(name) == nameLength && DeleteFileA(name) != 0;
        },
        0, ERROR_FILENAME_EXCED_RANGE,
        [&](const std::uint8_t*) {
            return std::filesystem::is_empty(temporaries) && GetLiveCounts().temporaries == 0;
        });

    // GetTempPathA: its length, or the size it needs.
    const DWORD needed = GetTempPathA(0, nullptr);
    AddPair(
        cases, "GetTempPathA", needed,
        [](std::uint8_t* b, DWORD n) -> long {
            return static_cast<long>(GetTempPathA(n, reinterpret_cast<char*>(b)));
        },
        static_cast<long>(needed - 1),
        [&](const std::uint8_t* b) {
            const char last = static_cast<char>(b[needed - 2]);
            return b[needed - 1] == 0 && (last == '/' || last == '\\');
        },
        static_cast<long>(needed), kAnyCode, nullptr);

    // GetObjectA: a BITMAP record.
    void* objectBits = nullptr;
    HBITMAP object = Create(Describe(3, 2, 24, BI_RGB, 0, {}), &objectBits);
    ASSERT_NE(object, nullptr);
    AddPair(
        cases, "GetObjectA", sizeof(BITMAP),
        [&](std::uint8_t* b, DWORD n) -> long {
            return GetObjectA(object, static_cast<int>(n), b);
        },
        sizeof(BITMAP),
        [&](const std::uint8_t* b) {
            BITMAP r;
            std::memcpy(&r, b, sizeof r);
            return r.bmWidth == 3 && r.bmHeight == 2 && r.bmWidthBytes == 12 && r.bmPlanes == 1 &&
                   r.bmBitsPixel == 24 && r.bmBits == objectBits;
        },
        0, ERROR_INSUFFICIENT_BUFFER, nullptr);

    // CreateDIBSection: the header and the masks or colour entries it calls for.
    HBITMAP made = nullptr;
    const Call create = [&](std::uint8_t* b, DWORD n) -> long {
        made = CreateDIBSection(nullptr, reinterpret_cast<const BITMAPINFO*>(b), DIB_RGB_COLORS,
                                nullptr, nullptr, 0, n);
        return made != nullptr;
    };
    const std::pair<const char*, Bytes> descriptions[] = {
        {"8 bits, 256 entries", Describe(5, 3, 8, BI_RGB, 0, Entries(256))},
        {"4 bits, 5 entries", Describe(5, 3, 4, BI_RGB, 5, Entries(5))},
        {"32 bits, 3 masks", Describe(5, 3, 32, BI_BITFIELDS, 0, {0xFF0000, 0xFF00, 0xFF})},
        {"24 bits", Describe(5, 3, 24, BI_RGB, 0, {})},
    };
    for (const auto& [name, bytes] : descriptions) {
        const WORD depth = bytes[14];
        AddPair(
            cases, std::string("CreateDIBSection, ") + name, static_cast<DWORD>(bytes.size()),
            create, 1,
            [&made, depth](const std::uint8_t*) {
                BITMAP r{};
                const bool ok = GetObjectA(made, sizeof r, &r) != 0 && r.bmBitsPixel == depth;
                DeleteObject(made);
                return ok;
            },
            0, ERROR_INVALID_DATA,
            [&made](const std::uint8_t*) { return DeleteObject(made) == FALSE; }, bytes);
    }

    // SetDIBits: rows of the stride (bitsSize), and the source's colour table (infoSize).
    Bytes sectionBits;  // the pixels of the section SetDIBits filled
    const auto setDIBits = [&](const Bytes& target, const std::uint8_t* rows, DWORD rowsSize,
                               const std::uint8_t* info, DWORD infoSize) -> long {
        void* bits = nullptr;
        HBITMAP section = Create(target, &bits);
        BITMAP r{};
        if (section == nullptr || GetObjectA(section, sizeof r, &r) == 0) {
            return -1;
        }
        const int result = SetDIBits(nullptr, section, 0, static_cast<UINT>(r.bmHeight), rows,
                                     reinterpret_cast<const BITMAPINFO*>(info), DIB_RGB_COLORS,
                                     rowsSize, infoSize);
        const auto* p = static_cast<const std::uint8_t*>(bits);
        sectionBits.assign(p, p + r.bmWidthBytes * r.bmHeight);
        DeleteObject(section);
        return result;
    };
    const auto setRows = [&](const Bytes& description) -> Call {
        return [&, description](std::uint8_t* b, DWORD n) {
            return setDIBits(description, b, n, description.data(),
                             static_cast<DWORD>(description.size()));
        };
    };
    const auto sectionHolds = [&](Bytes want) -> Check {
        return [&, want](const std::uint8_t*) { return sectionBits == want; };
    };
    // 24 bits, 4 x 2: rows of 12 bytes without padding; one byte short leaves
    // the last pixel as the new section had it.
    const Bytes pixels24 = Counting(24);
    Bytes lastPixelBlack = pixels24;
    std::fill(lastPixelBlack.end() - 3, lastPixelBlack.end(), std::uint8_t{0});
    AddPair(cases, "SetDIBits bitsSize, 24 bits", 24, setRows(Describe(4, 2, 24, BI_RGB, 0, {})), 2,
            sectionHolds(pixels24), 2, kUnchanged, sectionHolds(lastPixelBlack), pixels24);
    // 1 bit, 32 x 1: one byte short leaves the last eight pixels.
    AddPair(cases, "SetDIBits bitsSize, 1 bit", 4,
            setRows(Describe(32, 1, 1, BI_RGB, 0, {0x000000, 0xFFFFFF})), 1,
            sectionHolds(Bytes(4, 0xFF)), 1, kUnchanged, sectionHolds({0xFF, 0xFF, 0xFF, 0}),
            Bytes(4, 0xFF));
    // Indexed sources into a 24-bit section 2 x 1: entries 1 and 0 of the table.
    const Bytes wide = Describe(2, 1, 24, BI_RGB, 0, {});
    for (const WORD depth : {WORD{1}, WORD{4}, WORD{8}}) {
        const Bytes source = Describe(2, 1, depth, BI_RGB, 0, Entries(1u << depth));
        const Bytes row = {static_cast<std::uint8_t>(depth == 8 ? 1 : 0x80 >> (depth - 1)), 0, 0,
                           0};
        AddPair(
            cases, "SetDIBits infoSize, " + std::to_string(depth) + "-bit table",
            static_cast<DWORD>(source.size()),
            [&, row](std::uint8_t* b, DWORD n) {
                return setDIBits(wide, row.data(), static_cast<DWORD>(row.size()), b, n);
            },
            1, sectionHolds({3, 2, 1, 0, 0, 0, 0, 0}), 0, ERROR_INVALID_DATA, nullptr, source);
    }

    // GetDIBits: the colour table of 1, 4 and 8 bits (infoSize), rows of the stride (bitsSize).
    Bytes delivered;
    std::vector<HBITMAP> sections;
    for (const WORD depth : {WORD{1}, WORD{4}, WORD{8}}) {
        void* bits = nullptr;
        HBITMAP section = Create(Describe(8, 2, depth, BI_RGB, 2, Entries(2)), &bits);
        ASSERT_NE(section, nullptr);
        sections.push_back(section);
        static_cast<std::uint8_t*>(bits)[0] = 1;  // the bottom row's first byte
        BITMAP r{};
        ASSERT_NE(GetObjectA(section, sizeof r, &r), 0);
        const Bytes rows(static_cast<const std::uint8_t*>(bits),
                         static_cast<const std::uint8_t*>(bits) + 2 * r.bmWidthBytes);
        const auto entries = static_cast<DWORD>(1u << depth);
        Bytes table(4 * entries, 0);  // black past the section's two entries
        table[4] = 3, table[5] = 2, table[6] = 1;
        AddPair(
            cases, "GetDIBits infoSize, " + std::to_string(depth) + "-bit table", 40 + 4 * entries,
            [&delivered, section](std::uint8_t* b, DWORD n) -> long {
                HDC dc = CreateCompatibleDC(nullptr);
                delivered.assign(16, kSentinel);
                const int result =
                    GetDIBits(dc, section, 0, 2, delivered.data(), reinterpret_cast<BITMAPINFO*>(b),
                              DIB_RGB_COLORS, static_cast<DWORD>(delivered.size()), n);
                DeleteDC(dc);
                return result;
            },
            2,
            [&delivered, rows, table](const std::uint8_t* b) {
                return Bytes(b + 40, b + 40 + table.size()) == table &&
                       std::equal(rows.begin(), rows.end(), delivered.begin());
            },
            0, ERROR_INSUFFICIENT_BUFFER, nullptr, Describe(8, 2, depth, BI_RGB, 0, {}));
        if (depth == 8) {
            // Rows of 8 bytes: one byte short delivers the one row that fits.
            AddPair(
                cases, "GetDIBits bitsSize", 16,
                [section](std::uint8_t* b, DWORD n) -> long {
                    HDC dc = CreateCompatibleDC(nullptr);
                    Bytes info = Describe(8, 2, 8, BI_RGB, 0, Entries(256));
                    const int result =
                        GetDIBits(dc, section, 0, 2, b, reinterpret_cast<BITMAPINFO*>(info.data()),
                                  DIB_RGB_COLORS, n, static_cast<DWORD>(info.size()));
                    DeleteDC(dc);
                    return result;
                },
                2,
                [rows](const std::uint8_t* b) { return std::equal(rows.begin(), rows.end(), b); },
                1, kUnchanged,
                [rows](const std::uint8_t* b) {
                    return std::equal(rows.begin(), rows.begin() + 8, b);
                });
        }
    }

    // ReadFile: after 3 bytes of 10, a count of what remains, and one more.
    const std::string path = dir.File("ten");
    const Bytes ten = Counting(10, 0);
    veerpic_test::WriteBytes(path, ten);
    const Call readRest = [&](std::uint8_t* b, DWORD n) -> long {
        HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        std::uint8_t skipped[3];
        DWORD got = 0;
        const bool ok = file != INVALID_HANDLE_VALUE && ReadFile(file, skipped, 3, &got, nullptr) &&
                        ReadFile(file, b, n, &got, nullptr);
        CloseHandle(file);
        return ok ? static_cast<long>(got) : -1;
    };
    const Check rest = [&](const std::uint8_t* b) {
        return std::equal(ten.begin() + 3, ten.end(), b);
    };
    cases.push_back({"ReadFile, what remains", 7, {}, readRest, 7, kUnchanged, rest});
    cases.push_back(
        {"ReadFile, one more", 8, {}, readRest, 7, kUnchanged, [&](const std::uint8_t* b) {
             return rest(b) && b[7] == kSentinel;
         }});

    for (const SizeCase& c : cases) {
        Bytes buffer(std::max<std::size_t>(c.length, c.input.size()) + 16, kSentinel);
        std::copy(c.input.begin(), c.input.end(), buffer.begin());
        const Bytes before = buffer;
        SetLastError(kMarker);
        EXPECT_EQ(c.call(buffer.data(), c.length), c.result) << c.name;
        if (c.code != kAnyCode) {
            EXPECT_EQ(GetLastError(), c.code == kUnchanged ? kMarker : c.code) << c.name;
        }
        EXPECT_TRUE(std::equal(buffer.begin() + c.length, buffer.end(), before.begin() + c.length))
            << c.name << ": a byte past the length changed";
        if (c.delivered) {
            EXPECT_TRUE(c.delivered(buffer.data())) << c.name << ": not what was asked for";
        }
    }
    EXPECT_TRUE(DeleteObject(object));
    for (HBITMAP section : sections) {
        EXPECT_TRUE(DeleteObject(section));
    }
    // Nothing held: bitmaps, DCs, heap blocks, files, temporaries.
    const LiveCounts l = GetLiveCounts();
    EXPECT_EQ((std::vector<long>{l.bitmaps, l.dcs, l.heapBlocks, l.files, l.temporaries}),
              std::vector<long>(5, 0));
}

}  // namespace
