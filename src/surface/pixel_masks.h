// Colour masks of 16- and 32-bit pixels: where a channel sits and how its
// value widens to 8 bits.
#pragma once

#include <cstdint>

#include "surface/platform.h"

namespace platform::detail {

struct MaskChannel {
    unsigned shift = 0;
    unsigned bits = 0;
};

inline MaskChannel AnalyseMask(DWORD mask) {
    MaskChannel c;
    if (mask == 0) {
        return c;
    }
    while (((mask >> c.shift) & 1u) == 0) {
        ++c.shift;
    }
    while (c.shift + c.bits < 32 && ((mask >> (c.shift + c.bits)) & 1u) != 0) {
        ++c.bits;
    }
    return c;
}

// An N-bit channel value v becomes round(v * 255 / (2^N - 1)).
inline std::uint8_t WidenChannel(std::uint32_t pixel, MaskChannel c) {
    if (c.bits == 0) {
        return 0;
    }
    const std::uint64_t max = (std::uint64_t{1} << c.bits) - 1;
    const std::uint64_t v = (pixel >> c.shift) & max;
    return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
}

}  // namespace platform::detail
