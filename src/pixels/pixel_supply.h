// How much of its picture a file must supply. A file may leave pixels out
// (rows cut off at its end, pixels a compressed stream skips or never
// writes), which then stay black; but a few bytes must not stand for a
// picture of gigabytes. A file is refused when the pixels it leaves out
// exceed kFreeMissingPixels and exceed the pixels it supplies. Every reader
// of the tool judges by this one rule, before anything is allocated where
// the headers and the file's length tell, and after decoding where only the
// stream does.
#pragma once

#include <cstdint>

namespace veerpic::pixels {

inline constexpr std::uint64_t kFreeMissingPixels = std::uint64_t{16} << 20;

// The most pixels a compressed stream of one byte can stand for: a two-byte
// run gives at most 255.
inline constexpr std::uint64_t kRlePixelsPerByte = 128;

constexpr bool SuppliesEnough(std::uint64_t total, std::uint64_t supplied) {
    const std::uint64_t missing = total > supplied ? total - supplied : 0;
    return missing <= kFreeMissingPixels || missing <= supplied;
}

// The pixels that `bytes` bytes of uncompressed rows of `width` pixels at
// `bitCount` bits supply: every whole row, and the whole pixels of a row cut
// short (rows padded to 4 bytes).
constexpr std::uint64_t PixelsInRows(std::uint64_t width, unsigned bitCount, std::uint64_t bytes) {
    if (width == 0 || bitCount == 0) {
        return 0;
    }
    const std::uint64_t stride = (width * bitCount + 31) / 32 * 4;
    const std::uint64_t partial = (bytes % stride) * 8 / bitCount;
    return bytes / stride * width + (partial < width ? partial : width);
}

}  // namespace veerpic::pixels
