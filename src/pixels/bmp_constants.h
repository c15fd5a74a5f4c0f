// The numbers of the BMP layout: header sizes, colour-table sizes and the
// offsets they add up to, and the channel masks a depth has when its file
// gives none. Every reader and writer of the tool takes them from here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/status.h"
#include "records/dib_records.h"

namespace veerpic::pixels {

// The records are the format's, shared with the platform's header.
using namespace veerpic::records;

// The file header, and the info headers by their biSize.
inline constexpr std::uint32_t kFileHeaderSize = sizeof(BITMAPFILEHEADER);  // 14
inline constexpr std::uint32_t kCoreHeaderSize = sizeof(BITMAPCOREHEADER);  // 12: OS/2 1.x
inline constexpr std::uint32_t kOs2ShortHeaderSize = 16;  // OS/2 2.x cut after the bit count
inline constexpr std::uint32_t kInfoHeaderSize = sizeof(BITMAPINFOHEADER);  // 40
inline constexpr std::uint32_t kV2HeaderSize = 52;   // red, green and blue masks inside
inline constexpr std::uint32_t kV3HeaderSize = 56;   // the alpha mask too
inline constexpr std::uint32_t kOs2HeaderSize = 64;  // OS/2 2.x, whole
inline constexpr std::uint32_t kV4HeaderSize = 108;
inline constexpr std::uint32_t kV5HeaderSize = 124;

// Where the masks lie inside the larger headers, and after a 40-byte one.
inline constexpr std::size_t kMasksOffset = kInfoHeaderSize;
// Colour tables: 4-byte entries (3 in the OS/2 1.x layout), at most 256.
inline constexpr std::uint32_t kMaxColorEntries = 256;
inline constexpr std::uint32_t kColorTableBytes = kMaxColorEntries * sizeof(RGBQUAD);  // 1024
// A 40-byte info header with a full table, and the file offset after it.
inline constexpr std::uint32_t kInfoBlockBytes = kInfoHeaderSize + kColorTableBytes;     // 1064
inline constexpr std::uint32_t kLargestPixelOffset = kFileHeaderSize + kInfoBlockBytes;  // 1078

// The channel masks of a depth without masks of its own: 5-5-5 at 16 bits,
// 8-8-8 with an unused top byte at 32; none at other depths.
struct ChannelMasks {
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;
};
constexpr ChannelMasks DefaultMasks(unsigned bitCount) {
    if (bitCount == 16) {
        return {0x7C00, 0x03E0, 0x001F};
    }
    if (bitCount == 32) {
        return {0xFF0000, 0x00FF00, 0x0000FF};
    }
    return {};
}

}  // namespace veerpic::pixels
