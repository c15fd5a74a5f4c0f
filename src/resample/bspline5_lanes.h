// The prefilter's inner work on blocks of lines, eight lanes to a vector.
//
// Included by the portable prefilter and by the AVX2 one, each of which
// compiles its own copy for its instruction set (everything here has
// internal linkage, and nothing here instantiates a template of the
// standard library, so no out-of-line copy can be shared between them). The
// vectors are the compiler's generic ones: plain single-precision adds,
// subtracts and multiplies lane by lane, so every value goes through the
// same operations in the same order as in FilterLines (bspline5.cpp),
// whichever instructions carry them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "resample/bspline5.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace veerpic::resample {
namespace {

using Lanes = float __attribute__((vector_size(32)));
using LaneInts = std::int32_t __attribute__((vector_size(32)));
using LaneShorts = std::int16_t __attribute__((vector_size(16)));
inline constexpr int kLaneWidth = 8;

// The poles of the prefilter, and z / (z^2 - 1), which starts the
// anticausal recursion of a mirrored line.
inline constexpr float kPoles[2] = {-0.430575347099973791851434783493520110f,
                                    -0.0430962882032646538227123768225501820f};
inline constexpr float kAnticausalStart[2] = {0.528569571222538f, 0.0431764794492362f};
// Where a line is open (it goes on beyond the values at hand), the
// recursions start as on a line that stays at its end value: the causal one
// at x / (1 - z), the anticausal one at -z / (1 - z) times the causal result.
inline constexpr float kOpenCausalStart[2] = {0.699019455373094986f, 0.958684266552709058f};
inline constexpr float kOpenAnticausalStart[2] = {0.300980544626905014f, 0.0413157334472909423f};
// Terms of the causal start sum_k z^k x[k] over the mirrored line: |z|^K is
// below 2^-30 for these, far under a float's precision.
inline constexpr int kHorizon[2] = {28, 8};
// The prefilter's gain at zero frequency is 1 / 120 per dimension before
// this factor (the product of (1 - z)(1 - 1/z) over both poles).
inline constexpr float kGain = 120.0f;

// Scales of the stored values: row-filtered values and final coefficients.
inline constexpr float kIntermediateScale = 32.0f;
inline constexpr float kCoefficientScale = 1 << kCoefficientBits;

// Rounding to an integer: adding and taking away 1.5 * 2^23 leaves a float's
// integer part, ties to even, for magnitudes below 2^22 (the filters' gains
// keep every value far below that).
inline constexpr float kRoundingShift = 12582912.0f;

// Eight bytes as eight lanes (exact, whatever the instructions), times
// `scale`. (Written through a pointer: a 32-byte vector is passed
// differently with and without AVX.)
inline void BytesToLanes(const std::uint8_t* bytes, float scale, Lanes* to) {
#if defined(__AVX2__)
    const __m128i b = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes));
    *to = _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(b)) * scale;
#else
    const LaneInts i = {bytes[0], bytes[1], bytes[2], bytes[3],
                        bytes[4], bytes[5], bytes[6], bytes[7]};
    *to = __builtin_convertvector(i, Lanes) * scale;
#endif
}

// Filters kVectors * 8 independent lines of n values each in place, lines
// laid out as x[k * kVectors + v] for value k. The values are taken as
// already multiplied by the gain (when n >= 2; a line of one value is its
// own coefficient). The lines end at the picture's edges (mirrored there)
// unless `ends` opens them. The recursions keep the previous values in
// registers.
template <int kVectors>
void FilterLaneBlock(Lanes* x, std::int64_t n, ColumnEnds ends = {}) {
    if (n < 2) {
        return;
    }
    for (int p = 0; p < 2; ++p) {
        const float z = kPoles[p];
        Lanes carry[kVectors];
        if (ends.openTop) {
            for (int v = 0; v < kVectors; ++v) {
                carry[v] = kOpenCausalStart[p] * x[v];
            }
        } else {
            for (int v = 0; v < kVectors; ++v) {
                carry[v] = x[v];
            }
            float zk = z;
            for (int k = 1; k < kHorizon[p]; ++k) {
                const Lanes* xe = x + MirrorIndex(k, n) * kVectors;
                for (int v = 0; v < kVectors; ++v) {
                    carry[v] = carry[v] + zk * xe[v];
                }
                zk = zk * z;
            }
        }
        for (int v = 0; v < kVectors; ++v) {
            x[v] = carry[v];
        }
        for (std::int64_t k = 1; k < n; ++k) {
            Lanes* xk = x + k * kVectors;
            for (int v = 0; v < kVectors; ++v) {
                carry[v] = xk[v] + z * carry[v];
                xk[v] = carry[v];
            }
        }
        if (ends.openBottom) {
            for (int v = 0; v < kVectors; ++v) {
                carry[v] = kOpenAnticausalStart[p] * carry[v];
                x[(n - 1) * kVectors + v] = carry[v];
            }
        } else {
            const float a = kAnticausalStart[p];
            const Lanes* before = x + (n - 2) * kVectors;
            for (int v = 0; v < kVectors; ++v) {
                carry[v] = a * (carry[v] + z * before[v]);
                x[(n - 1) * kVectors + v] = carry[v];
            }
        }
        for (std::int64_t k = n - 2; k >= 0; --k) {
            Lanes* xk = x + k * kVectors;
            for (int v = 0; v < kVectors; ++v) {
                carry[v] = z * (carry[v] - xk[v]);
                xk[v] = carry[v];
            }
        }
    }
}

// Rows along x, kVectors * 8 / 3 rows at a time. in[r] is row r's blue,
// green, red bytes (a spare row is a row of zeros); the first `count` rows'
// row-filtered values go to out[r]. lines has room for width * kVectors
// vectors and one float more.
//
// Pixels move between the rows and the lines in tiles of eight: each row's
// part of a tile is converted as whole vectors, and each pixel is then
// copied as four values, the fourth landing where the next one is written
// next. (Assembling a pixel's lanes from many small stores and reading them
// back at once would stall every read on stores not yet done.)
template <int kVectors>
void FilterRowBlock(const std::uint8_t* const* in, std::int16_t* const* out, int count,
                    std::int64_t width, Lanes* lines) {
    constexpr int kRows = kVectors * kLaneWidth / 3;
    constexpr int kValues = kVectors * kLaneWidth;
    static_assert(kRows * 3 == kValues, "whole pixels per block");
    constexpr int kTile = kLaneWidth;
    const float gain = width >= 2 ? kGain : 1.0f;
    float* const values = reinterpret_cast<float*>(lines);

    alignas(32) float tile[kRows][3 * kTile + kLaneWidth] = {};
    for (std::int64_t x0 = 0; x0 < width; x0 += kTile) {
        const int n = width - x0 < kTile ? static_cast<int>(width - x0) : kTile;
        for (int r = 0; r < kRows; ++r) {
            const std::uint8_t* from = in[r] + 3 * x0;
            std::uint8_t padded[3 * kTile] = {};
            if (n < kTile) {
                std::memcpy(padded, from, static_cast<std::size_t>(3 * n));
                from = padded;
            }
            for (int k = 0; k < 3; ++k) {
                BytesToLanes(from + kLaneWidth * k, gain,
                             reinterpret_cast<Lanes*>(&tile[r][kLaneWidth * k]));
            }
        }
        for (int x = 0; x < n; ++x) {
            float* to = values + (x0 + x) * kValues;
            for (int r = 0; r < kRows; ++r) {
                std::memcpy(to + 3 * r, &tile[r][3 * x], 4 * sizeof(float));
            }
        }
    }
    FilterLaneBlock<kVectors>(lines, width);

    alignas(32) std::int16_t quantized[kTile][kValues + kLaneWidth] = {};
    for (std::int64_t x0 = 0; x0 < width; x0 += kTile) {
        const int n = width - x0 < kTile ? static_cast<int>(width - x0) : kTile;
        for (int x = 0; x < n; ++x) {
            for (int v = 0; v < kVectors; ++v) {
                const Lanes t =
                    (lines[(x0 + x) * kVectors + v] - static_cast<float>(kCoefficientOffset)) *
                    kIntermediateScale;
                LaneInts i =
                    __builtin_convertvector((t + kRoundingShift) - kRoundingShift, LaneInts);
                i = i < -32768 ? -32768 : i;
                i = i > 32767 ? 32767 : i;
                const LaneShorts q = __builtin_convertvector(i, LaneShorts);
                std::memcpy(&quantized[x][kLaneWidth * v], &q, sizeof(q));
            }
        }
        // Eight bytes a pixel where the next pixel follows in this row and
        // is written after it; six at the end.
        const bool room = n == kTile && x0 + kTile < width;
        for (int r = 0; r < count; ++r) {
            std::int16_t* to = out[r] + 3 * x0;
            if (room) {
                for (int x = 0; x < kTile; ++x) {
                    std::memcpy(to + 3 * x, &quantized[x][3 * r], 8);
                }
            } else {
                for (int x = 0; x < n; ++x) {
                    std::memcpy(to + 3 * x, &quantized[x][3 * r], 6);
                }
            }
        }
    }
}

// Value columns [first, first + count) of `plane` along y, count at most
// kVectors * 8 (a short strip fills its spare lanes with zeros). lines has
// room for plane.height * kVectors vectors.
template <int kVectors>
void FilterColumnBlock(const CoefficientPlane& plane, std::int64_t first, std::int64_t count,
                       ColumnEnds ends, Lanes* lines) {
    const std::int64_t height = plane.height;
    const float gain = height >= 2 ? kGain : 1.0f;
    const float inverse = 1.0f / kIntermediateScale;
    const bool whole = count == kVectors * kLaneWidth;
    // Rows a strip apart fall in different pages, where the processor does
    // not fetch ahead by itself: the loads ask for rows well ahead.
    constexpr std::int64_t kAhead = 8;
    for (std::int64_t y = 0; y < height; ++y) {
        const std::int16_t* in = plane.data + plane.pitch * y + first;
        if (y + kAhead < height) {
            const char* ahead = reinterpret_cast<const char*>(in + plane.pitch * kAhead);
            for (std::int64_t b = 0; b < count * 2; b += 64) {
                __builtin_prefetch(ahead + b);
            }
            __builtin_prefetch(ahead + count * 2 - 1);
        }
        for (int v = 0; v < kVectors; ++v) {
            LaneShorts s = {};
            const std::int64_t left = count - kLaneWidth * v;
            if (whole || left >= kLaneWidth) {
                std::memcpy(&s, in + kLaneWidth * v, sizeof(s));
            } else if (left > 0) {
                std::memcpy(&s, in + kLaneWidth * v, static_cast<std::size_t>(left) * sizeof(*in));
            }
            const Lanes f = __builtin_convertvector(s, Lanes);
            lines[y * kVectors + v] = (f * inverse + static_cast<float>(kCoefficientOffset)) * gain;
        }
    }
    FilterLaneBlock<kVectors>(lines, height, ends);
    for (std::int64_t y = 0; y < height; ++y) {
        std::int16_t* out = plane.data + plane.pitch * y + first;
        for (int v = 0; v < kVectors; ++v) {
            const Lanes t = (lines[y * kVectors + v] - static_cast<float>(kCoefficientOffset)) *
                            kCoefficientScale;
            LaneInts r = __builtin_convertvector((t + kRoundingShift) - kRoundingShift, LaneInts);
            r = r < -32768 ? -32768 : r;
            r = r > 32767 ? 32767 : r;
            const LaneShorts q = __builtin_convertvector(r, LaneShorts);
            const std::int64_t left = count - kLaneWidth * v;
            if (whole || left >= kLaneWidth) {
                std::memcpy(out + kLaneWidth * v, &q, sizeof(q));
            } else if (left > 0) {
                std::memcpy(out + kLaneWidth * v, &q,
                            static_cast<std::size_t>(left) * sizeof(*out));
            }
        }
    }
}

// The block sizes the prefilter uses: 8 or 16 rows; strips of 8 or 32
// values.
inline void FilterRowBlockOf(int vectors, const std::uint8_t* const* in, std::int16_t* const* out,
                             int count, std::int64_t width, void* lines) {
    if (vectors == 3) {
        FilterRowBlock<3>(in, out, count, width, static_cast<Lanes*>(lines));
    } else {
        FilterRowBlock<6>(in, out, count, width, static_cast<Lanes*>(lines));
    }
}

inline void FilterColumnBlockOf(int vectors, const CoefficientPlane& plane, std::int64_t first,
                                std::int64_t count, ColumnEnds ends, void* lines) {
    if (vectors == 1) {
        FilterColumnBlock<1>(plane, first, count, ends, static_cast<Lanes*>(lines));
    } else {
        FilterColumnBlock<4>(plane, first, count, ends, static_cast<Lanes*>(lines));
    }
}

}  // namespace
}  // namespace veerpic::resample

namespace veerpic::resample {

// The block kernels compiled for each instruction set (AVX2 on x86 only).
void FilterRowBlockPortable(int vectors, const std::uint8_t* const* in, std::int16_t* const* out,
                            int count, std::int64_t width, void* lines);
void FilterColumnBlockPortable(int vectors, const CoefficientPlane& plane, std::int64_t first,
                               std::int64_t count, ColumnEnds ends, void* lines);
#if defined(__x86_64__) || defined(__i386__)
void FilterRowBlockAvx2(int vectors, const std::uint8_t* const* in, std::int16_t* const* out,
                        int count, std::int64_t width, void* lines);
void FilterColumnBlockAvx2(int vectors, const CoefficientPlane& plane, std::int64_t first,
                           std::int64_t count, ColumnEnds ends, void* lines);
#endif

}  // namespace veerpic::resample
