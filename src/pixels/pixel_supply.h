// How much of its picture a file must supply. A file may leave pixels out
// (rows cut off at its end, pixels a compressed stream skips or never
// writes), which then stay black; but a few bytes must not stand for a
// picture of gigabytes, nor buy a turned canvas of gigabytes. A file that
// leaves pixels out is refused
// - when those exceed kFreeMissingPixels and exceed the pixels it supplies;
// - or when the largest canvas a turn can give its picture ((w + h)^2 / 2
//   pixels, at 45 degrees) exceeds kFreeCanvasPixels and exceeds
//   kCanvasPerSuppliedPixel for each pixel it supplies.
// A complete picture turns whatever its canvas. Every reader of the tool
// judges by this one rule, before anything is allocated where the headers
// and the file's length tell, and after decoding where only the stream does.
#pragma once

#include <cstdint>

namespace veerpic::pixels {

inline constexpr std::uint64_t kFreeMissingPixels = std::uint64_t{16} << 20;
// Four times the canvas of a square picture of kFreeMissingPixels at 45
// degrees: 64 Mi pixels, 192 MiB at 24 bits.
inline constexpr std::uint64_t kFreeCanvasPixels = 4 * kFreeMissingPixels;
inline constexpr std::uint64_t kCanvasPerSuppliedPixel = 16;

// The most pixels a compressed stream of one byte can stand for: a two-byte
// run gives at most 255.
inline constexpr std::uint64_t kRlePixelsPerByte = 128;

// Whether `supplied` pixels are enough of a picture of `width` x `height`.
constexpr bool SuppliesEnough(std::uint64_t width, std::uint64_t height, std::uint64_t supplied) {
    const std::uint64_t total = width * height;  // each below 2^32
    if (supplied >= total) {
        return true;
    }
    const std::uint64_t side = width + height;
    const std::uint64_t canvas = side >= (std::uint64_t{1} << 32) ? UINT64_MAX : side * side / 2;
    return (total - supplied <= kFreeMissingPixels || total - supplied <= supplied) &&
           (canvas <= kFreeCanvasPixels || canvas / kCanvasPerSuppliedPixel <= supplied);
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
