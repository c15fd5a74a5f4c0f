// Colour channels held as bit masks in 16- and 32-bit
// pixels. A mask becomes a (shift, bits) pair; a channel of any width widens
// to 8 bits by full-range scaling, v * 255 / (2^bits - 1) rounded to nearest,
// so that a full-scale value always gives 255 and 0 gives 0.
#pragma once

#include <bit>
#include <cstdint>

#include "pixels/bmp_constants.h"

namespace veerpic::pixels {

struct MaskChannel {
    unsigned shift = 0;  // position of the lowest bit of the mask
    unsigned bits = 0;   // number of bits in the mask; 0 for an empty mask
};

// True for a non-empty mask whose set bits form one unbroken run.
inline bool IsContiguousMask(std::uint32_t mask) {
    if (mask == 0) {
        return false;
    }
    const std::uint32_t low = mask >> std::countr_zero(mask);
    return (low & (low + 1)) == 0;
}

// The shift and width of a mask. For a mask that is not contiguous the width
// counts every bit from the lowest set bit to the highest.
inline MaskChannel AnalyseMask(std::uint32_t mask) {
    if (mask == 0) {
        return {};
    }
    const unsigned shift = static_cast<unsigned>(std::countr_zero(mask));
    const unsigned top = 32u - static_cast<unsigned>(std::countl_zero(mask));
    return {shift, top - shift};
}

// Widens a channel value of `bits` bits to 8 bits: v * 255 / (2^bits - 1),
// rounded to nearest (halves up).
inline std::uint8_t WidenValue(std::uint32_t value, unsigned bits) {
    if (bits == 0) {
        return 0;
    }
    if (bits == 8) {
        return static_cast<std::uint8_t>(value);
    }
    const std::uint64_t max = (std::uint64_t{1} << bits) - 1;
    const std::uint64_t v = value & max;
    return static_cast<std::uint8_t>((v * 510 + max) / (2 * max));
}

// The channel of `pixel` described by `c`, widened to 8 bits.
inline std::uint8_t WidenChannel(std::uint32_t pixel, MaskChannel c) {
    if (c.bits == 0) {
        return 0;
    }
    return WidenValue(static_cast<std::uint32_t>(pixel >> c.shift), c.bits);
}

// The opposite direction: an 8-bit value as a channel of `bits` bits,
// value * (2^bits - 1) / 255 rounded to nearest, so that widening it again
// gives back the nearest value the channel can hold.
inline std::uint32_t NarrowValue(std::uint8_t value, unsigned bits) {
    if (bits == 0) {
        return 0;
    }
    const std::uint64_t max = (std::uint64_t{1} << bits) - 1;
    return static_cast<std::uint32_t>((std::uint64_t{value} * max * 2 + 255) / 510);
}

// True when the masks of `f` are the BI_RGB layout of its depth.
template <typename Format>
bool HasRgbLayout(const Format& f) {
    const ChannelMasks rgb = DefaultMasks(f.bitCount);
    return (f.bitCount == 16 || f.bitCount == 32) && f.redMask == rgb.red &&
           f.greenMask == rgb.green && f.blueMask == rgb.blue;
}

}  // namespace veerpic::pixels
