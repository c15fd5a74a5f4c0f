// Decoding a BMP file from its bytes: the file header, the description that
// follows it, and the pixel data, with the allowances a loader makes for
// files found in the wild:
// - the reserved words and bfSize are ignored (the real length is used);
// - the pixels start at bfOffBits, gap or not;
// - an OS/2 colour table may be shorter than 2^depth (its length comes from
//   bfOffBits; missing entries are black);
// - a colour table longer than 2^depth is used up to 2^depth entries when
//   the file holds it all.
// A file shorter than its headers say (pixel rows missing, a compressed
// stream that ends before its end code), and a compressed one that leaves
// out more of its picture than pixel_supply.h allows, are refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "pixels/bmp_constants.h"
#include "pixels/dib_format.h"
#include "pixels/pixel_supply.h"

namespace veerpic::pixels {

// What a file's headers say about its pixels.
struct BmpLayout {
    DibFormat format;
    std::uint32_t compression = BI_RGB;  // the file's own, RLE included
    std::uint64_t pixelOffset = 0;       // bfOffBits
    std::uint64_t pixelBytes = 0;        // bytes of pixel data to read from there
};

// The most bytes from the start of a file that InspectBmp looks at: the file
// header, the largest info header, four masks and 256 colour entries.
inline constexpr std::size_t kBmpHeadBytes =
    kFileHeaderSize + kV5HeaderSize + 4 * sizeof(std::uint32_t) + kColorTableBytes;

// Judges a file from its first bytes (`head`, up to kBmpHeadBytes of them)
// and its length, when known. With the length, pixelBytes is what the
// picture needs (uncompressed) or the whole stream (RLE), and a file that
// cannot hold its picture is refused; without it (a pipe), pixelBytes is the
// most that is worth reading.
Status InspectBmp(std::span<const std::uint8_t> head, std::optional<std::uint64_t> fileSize,
                  BmpLayout* layout);

// Decodes `pixels` (the file's bytes from pixelOffset on) into `target`, a
// zeroed plane of layout.format. kInvalidData when the data ends before the
// picture does.
Status DecodeBmpPixels(const BmpLayout& layout, std::span<const std::uint8_t> pixels,
                       const Plane& target);

}  // namespace veerpic::pixels
