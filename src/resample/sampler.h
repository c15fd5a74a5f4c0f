// The samplers of the parallelogram transfer: the view of a source that they
// read, and the sampling runs (portable, SSSE3 and AVX2), which all give the
// same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "resample/kernel.h"

namespace veerpic::resample {

// The source rectangle as the samplers see it: 3- or 4-byte pixels with
// blue, green, red in their first three bytes.
struct SampleSource {
    const std::uint8_t* origin = nullptr;  // the rectangle's top-left pixel
    std::ptrdiff_t pitch = 0;              // bytes from a row to the one below it
    std::int64_t width = 0;                // the rectangle, at most kMaxSourceSide each
    std::int64_t height = 0;
    int bytesPerPixel = 3;
    // The largest x0 for which the 16 bytes from tap x0 - 1 on lie in the
    // row's memory and the four taps x0 - 1 .. x0 + 2 inside the rectangle
    // (so the fast loads need no clamping); 0 when there is none.
    std::int64_t fastMaxX = 0;
    std::int64_t fastMaxY = 0;  // likewise for rows: height - 3, or 0
};

// Sources wider or taller than this are not drawn: positions in 32.32 fixed
// point must keep far from the 64-bit limits.
inline constexpr std::int64_t kMaxSourceSide = std::int64_t{1} << 28;

// A sampling position along one axis, rounded to 1/256 of a source pixel.
struct SourcePosition {
    std::int64_t x0;  // the pixel whose centre is at or before the position
    std::int32_t fx;  // the distance from that centre, in 1/256
};

// The helpers below are static: the SIMD files are compiled for other
// instruction sets, and each file must keep its own copy.

// Decodes u, a source coordinate in 32.32 fixed point (pixel x covers
// [x, x + 1) and has its centre at x + 1/2), |u| < 2^61.
static inline SourcePosition DecodePosition(std::int64_t u) {
    const std::int64_t centred = u - (std::int64_t{1} << 31) + (std::int64_t{1} << 23);
    const std::int64_t steps = centred >> (32 - kFractionBits);
    return {steps >> kFractionBits, static_cast<std::int32_t>(steps & (kFractionSteps - 1))};
}

static inline std::int64_t ClampTap(std::int64_t v, std::int64_t size) {
    return v < 0 ? 0 : (v >= size ? size - 1 : v);
}

// The 4 x 4 taps of a position as 4 rows of 16 bytes (`*pitch` apart), each
// starting with the 4 tap pixels: in the source itself when its fast loads
// are safe, else copied into `scratch` with rows and columns clamped to the
// rectangle (a tap beyond the edge takes the edge pixel).
static inline const std::uint8_t* TapRows(const SampleSource& s, SourcePosition x, SourcePosition y,
                                          std::uint8_t (&scratch)[64], std::ptrdiff_t* pitch) {
    const int bpp = s.bytesPerPixel;
    if (static_cast<std::uint64_t>(x.x0 - 1) < static_cast<std::uint64_t>(s.fastMaxX) &&
        static_cast<std::uint64_t>(y.x0 - 1) < static_cast<std::uint64_t>(s.fastMaxY)) {
        *pitch = s.pitch;
        return s.origin + (y.x0 - 1) * s.pitch + (x.x0 - 1) * bpp;
    }
    for (int r = 0; r < 4; ++r) {
        const std::uint8_t* row = s.origin + ClampTap(y.x0 - 1 + r, s.height) * s.pitch;
        for (int k = 0; k < 4; ++k) {
            std::memcpy(scratch + 16 * r + k * bpp, row + ClampTap(x.x0 - 1 + k, s.width) * bpp,
                        static_cast<std::size_t>(bpp));
        }
    }
    *pitch = 16;
    return scratch;
}

// The steps k in [*first, *end) within [0, count) at which u + k du decodes
// to a pixel x0 with 1 <= x0 <= maxX (positions as DecodePosition takes them).
static inline void FastSteps(std::int64_t u, std::int64_t du, std::int64_t maxX, std::int32_t count,
                             std::int32_t* first, std::int32_t* end) {
    // x0 in [1, maxX]  <=>  lo <= u + k du <= hi.
    const std::int64_t offset = -(std::int64_t{1} << 31) + (std::int64_t{1} << 23);
    const std::int64_t lo = (std::int64_t{1} << 32) - offset;
    const std::int64_t hi = ((maxX + 1) << 32) - 1 - offset;
    std::int64_t a = 0;
    std::int64_t b = count;  // exclusive
    if (maxX < 1) {
        b = 0;
    } else if (du == 0) {
        if (u < lo || u > hi) {
            b = 0;
        }
    } else {
        // Floor and ceiling divisions of differences below 2^63.
        auto floorDiv = [](std::int64_t n, std::int64_t d) {
            const std::int64_t q = n / d;
            return (n % d != 0 && ((n < 0) != (d < 0))) ? q - 1 : q;
        };
        auto ceilDiv = [&](std::int64_t n, std::int64_t d) { return -floorDiv(-n, d); };
        const std::int64_t from = du > 0 ? ceilDiv(lo - u, du) : ceilDiv(hi - u, du);
        const std::int64_t to = du > 0 ? floorDiv(hi - u, du) : floorDiv(lo - u, du);
        a = from < 0 ? 0 : (from > count ? count : from);
        b = to < 0 ? 0 : (to + 1 > count ? count : to + 1);
    }
    if (a > b) {
        a = b;
    }
    *first = static_cast<std::int32_t>(a);
    *end = static_cast<std::int32_t>(b);
}

// Samples `count` pixels at (u + k du, v + k dv), k = 0 .. count - 1, and
// writes blue, green, red of each to out[3k .. 3k + 2] (and nothing past
// out[3 count - 1]). The caller keeps every position within +-2^60.
void SampleRunScalar(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                     std::int64_t dv, std::int32_t count, std::uint8_t* out);
void SampleRunSsse3(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                    std::int64_t dv, std::int32_t count, std::uint8_t* out);
void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out);

// The sampler this machine runs: AVX2, then SSSE3, then the portable one.
using SampleRunFunction = void (*)(const SampleSource&, std::int64_t, std::int64_t, std::int64_t,
                                   std::int64_t, std::int32_t, std::uint8_t*);
SampleRunFunction ChooseSampleRun(bool allowSimd);

}  // namespace veerpic::resample
