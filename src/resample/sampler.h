// The samplers of the parallelogram transfer: the view of the source's
// spline coefficients that they read, and the sampling runs (portable,
// SSSE3, AVX2, AVX-VNNI and NEON), which all give the same bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "resample/kernel.h"

namespace veerpic::resample {

// The source rectangle's spline coefficients as the samplers read them:
// blue, green, red as 16-bit values per pixel (bspline5.h).
struct SampleSource {
    const std::int16_t* origin = nullptr;  // the rectangle's top-left pixel
    std::ptrdiff_t pitch = 0;              // values from a row to the one below it
    std::int64_t width = 0;                // the rectangle, at most kMaxSourceSide each
    std::int64_t height = 0;
    // The fast loads read the six taps x0 - 2 .. x0 + 3 of a row as three
    // 16-byte loads, which end two values into pixel x0 + 4. They need no
    // mirroring for x0 in [2, fastMaxX] and y0 in [2, fastMaxY].
    std::int64_t fastMaxX = 0;  // width - 5
    std::int64_t fastMaxY = 0;  // height - 4
};

// The view of a picture's coefficients.
static inline SampleSource ViewOf(const CoefficientPlane& plane) {
    SampleSource s;
    s.origin = plane.data;
    s.pitch = plane.pitch;
    s.width = plane.width;
    s.height = plane.height;
    s.fastMaxX = std::int64_t{plane.width} - 5;
    s.fastMaxY = std::int64_t{plane.height} - 4;
    return s;
}

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

// Values of a row of taps as TapRows gives them: six pixels of three values
// and room for the two values that the last fast load reads beyond them.
inline constexpr int kTapRowValues = 24;

// The 6 x 6 taps of a position as 6 rows of kTapRowValues values (`*pitch`
// apart), each starting with the 6 tap pixels: in the coefficients
// themselves when the fast loads are safe there, else copied into `scratch`
// with rows and columns mirrored.
static inline const std::int16_t* TapRows(const SampleSource& s, SourcePosition x, SourcePosition y,
                                          std::int16_t (&scratch)[kTaps * kTapRowValues],
                                          std::ptrdiff_t* pitch) {
    const std::int64_t left = x.x0 + kFirstTap;
    const std::int64_t top = y.x0 + kFirstTap;
    if (static_cast<std::uint64_t>(x.x0 - 2) <= static_cast<std::uint64_t>(s.fastMaxX - 2) &&
        static_cast<std::uint64_t>(y.x0 - 2) <= static_cast<std::uint64_t>(s.fastMaxY - 2) &&
        s.fastMaxX >= 2 && s.fastMaxY >= 2) {
        *pitch = s.pitch;
        return s.origin + top * s.pitch + left * 3;
    }
    for (int r = 0; r < kTaps; ++r) {
        const std::int16_t* row = s.origin + MirrorIndex(top + r, s.height) * s.pitch;
        std::int16_t* to = scratch + kTapRowValues * r;
        for (int k = 0; k < kTaps; ++k) {
            std::memcpy(to + 3 * k, row + 3 * MirrorIndex(left + k, s.width), 3 * sizeof(*row));
        }
        std::memset(to + 3 * kTaps, 0, (kTapRowValues - 3 * kTaps) * sizeof(*to));
    }
    *pitch = kTapRowValues;
    return scratch;
}

// Samples `count` pixels at (u + k du, v + k dv), k = 0 .. count - 1, and
// writes blue, green, red of each to out[3k .. 3k + 2] (and nothing past
// out[3 count - 1]). The caller keeps every position within +-2^60.
void SampleRunScalar(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                     std::int64_t dv, std::int32_t count, std::uint8_t* out);
#if defined(__x86_64__) || defined(__i386__)
void SampleRunSsse3(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                    std::int64_t dv, std::int32_t count, std::uint8_t* out);
void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out);
void SampleRunAvxVnni(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                      std::int64_t dv, std::int32_t count, std::uint8_t* out);
#elif defined(__aarch64__)
void SampleRunNeon(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out);
#endif

// The sampler this machine runs: on x86 AVX-VNNI, AVX2, SSSE3, then the
// portable one; on 64-bit ARM NEON.
using SampleRunFunction = void (*)(const SampleSource&, std::int64_t, std::int64_t, std::int64_t,
                                   std::int64_t, std::int32_t, std::uint8_t*);
SampleRunFunction ChooseSampleRun(bool allowSimd);

}  // namespace veerpic::resample
