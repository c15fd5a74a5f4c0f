// Inside the parallelogram transfer: the bicubic weight table, the view of a
// source that the samplers read, and the sampling runs (portable, SSSE3 and
// AVX2), which all give the same bytes. Only the transfer and its tests
// include this file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "surface/dib.h"

namespace platform::detail {

// Sub-pixel positions are rounded to 1/256 of a source pixel; the weights of
// the four taps are integers whose sum is exactly kWeightOne.
inline constexpr int kFractionBits = 8;
inline constexpr int kFractionSteps = 1 << kFractionBits;
inline constexpr std::int32_t kWeightOne = 1 << 14;

// The horizontal pass keeps 6 bits below the channel value (the sum shifted
// right by kHorizontalShift), so that it fits 16 bits for the vertical pass;
// the vertical pass then removes the remaining kVerticalShift bits.
inline constexpr int kHorizontalShift = 8;
inline constexpr int kVerticalShift = 14 + 14 - kHorizontalShift;

struct alignas(16) BicubicWeightTable {
    // weights[f][k]: tap k (at offset k - 1 from the pixel left of or above
    // the position) for the fraction f / 256.
    std::int16_t weights[kFractionSteps][4];
};

// Keys' cubic convolution kernel with a = -1/2. For the fraction t the taps
// at -1, 0, 1, 2 weigh -t(1-t)^2/2, (3t^3 - 5t^2 + 2)/2, (-3t^3 + 4t^2 + t)/2
// and -t^2(1-t)/2. With t = f/256 each is an exact multiple of 2^-25; it is
// rounded to 2^-14 (half away from zero) and the rounding error of the sum
// is taken up by the larger middle tap, so every row sums to kWeightOne.
// Fraction 0 gives exactly (0, 1, 0, 0): a position on a pixel centre
// reproduces the pixel.
constexpr BicubicWeightTable MakeBicubicWeightTable() {
    BicubicWeightTable table{};
    constexpr std::int64_t n = kFractionSteps;
    constexpr int shift = 1 + 3 * kFractionBits - 14;  // from 2^-25 units to 2^-14
    auto round = [](std::int64_t v) {
        const std::int64_t half = std::int64_t{1} << (shift - 1);
        return v >= 0 ? (v + half) >> shift : -((-v + half) >> shift);
    };
    for (std::int64_t f = 0; f < n; ++f) {
        const std::int64_t g = n - f;
        // Numerators over 2 n^3.
        const std::int64_t w[4] = {
            -f * g * g,
            3 * f * f * f - 5 * f * f * n + 2 * n * n * n,
            -3 * f * f * f + 4 * f * f * n + f * n * n,
            -f * f * g,
        };
        std::int64_t r[4];
        std::int64_t sum = 0;
        for (int k = 0; k < 4; ++k) {
            r[k] = round(w[k]);
            sum += r[k];
        }
        r[w[1] >= w[2] ? 1 : 2] += kWeightOne - sum;
        for (int k = 0; k < 4; ++k) {
            table.weights[f][k] = static_cast<std::int16_t>(r[k]);
        }
    }
    return table;
}

inline constexpr BicubicWeightTable kBicubicWeights = MakeBicubicWeightTable();

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

// The transfer itself, with the given sampler, or with the one this machine
// runs best (allowSimd) or the portable one (the tests compare them).
void DrawHalftoneParallelogram(GdiBitmap& dest, const POINT points[3], const GdiBitmap& source,
                               int xSrc, int ySrc, int width, int height, SampleRunFunction run);
void DrawHalftoneParallelogram(GdiBitmap& dest, const POINT points[3], const GdiBitmap& source,
                               int xSrc, int ySrc, int width, int height, bool allowSimd);

}  // namespace platform::detail
