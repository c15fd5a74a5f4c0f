// The SIMD sampler shared by the x86 sampler files: one pixel at a time in
// a 128-bit register, with the same integer arithmetic as the portable
// sampler (16-bit products summed in 32 bits). Each file compiles it for its
// own instruction set with the multiply-add it names; everything here has
// internal linkage, and nothing here instantiates a template of the
// standard library, so no out-of-line copy is shared between the files.
#pragma once

#include <tmmintrin.h>

#include "resample/sampler.h"

namespace veerpic::resample {
namespace {

// The multiply-add of SSE2: products of pairs summed to 32 bits, then added.
struct MultiplyAddMadd {
    static __m128i Apply(__m128i sum, __m128i pairs, __m128i weights) {
        return _mm_add_epi32(sum, _mm_madd_epi16(pairs, weights));
    }
};

// MultiplyAdd::Apply(sum, pairs, weights) adds the products of the 16-bit
// pairs and weights to the 32-bit sums, pair by pair. Integer sums do not
// depend on the order of their terms, so every multiply-add gives the same
// sums.
template <typename MultiplyAdd>
void SampleRunPixels(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                     std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    // Two taps of a row (b0 g0 r0 b1 g1 r1 ..) as pairs (b0 b1 g0 g1 r0 r1 0 0).
    const __m128i pairs = _mm_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1);
    // Two rows' sums packed to 16 bits, (b g r 0 b' g' r' 0), as pairs
    // (b b' g g' r r' 0 0).
    const __m128i interleave =
        _mm_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1);
    const __m128i roundH = _mm_set1_epi32(1 << (kHorizontalShift - 1));
    const __m128i roundV = _mm_set1_epi32(1 << (kVerticalShift - 1));
    const __m128i offset = _mm_set1_epi32(kCoefficientOffset);
    alignas(16) std::int16_t scratch[kTaps * kTapRowValues];

    for (std::int32_t k = 0; k < count; ++k, u += du, v += dv, out += 3) {
        const SourcePosition x = DecodePosition(u);
        const SourcePosition y = DecodePosition(v);
        std::ptrdiff_t pitch = 0;
        const std::int16_t* taps = TapRows(source, x, y, scratch, &pitch);
        const __m128i wx =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kBSpline5Weights.weights[x.fx]));
        const __m128i wy =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kBSpline5Weights.weights[y.fx]));
        const __m128i wx01 = _mm_shuffle_epi32(wx, 0x00);
        const __m128i wx23 = _mm_shuffle_epi32(wx, 0x55);
        const __m128i wx45 = _mm_shuffle_epi32(wx, 0xAA);
        // Each sum starts from its rounding term.
        auto row = [&](int r) {
            const std::int16_t* p = taps + r * pitch;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 6));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
            __m128i h = MultiplyAdd::Apply(roundH, _mm_shuffle_epi8(a, pairs), wx01);
            h = MultiplyAdd::Apply(h, _mm_shuffle_epi8(b, pairs), wx23);
            h = MultiplyAdd::Apply(h, _mm_shuffle_epi8(c, pairs), wx45);
            return _mm_srai_epi32(h, kHorizontalShift);
        };
        auto rowPair = [&](__m128i sum, int r, __m128i weights) {
            return MultiplyAdd::Apply(
                sum, _mm_shuffle_epi8(_mm_packs_epi32(row(r), row(r + 1)), interleave), weights);
        };
        __m128i sum = rowPair(roundV, 0, _mm_shuffle_epi32(wy, 0x00));
        sum = rowPair(sum, 2, _mm_shuffle_epi32(wy, 0x55));
        sum = rowPair(sum, 4, _mm_shuffle_epi32(wy, 0xAA));
        sum = _mm_add_epi32(_mm_srai_epi32(sum, kVerticalShift), offset);
        const __m128i words = _mm_packs_epi32(sum, sum);
        const std::uint32_t bgr =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
        // A fourth byte lands on the next pixel, written next.
        if (k + 1 < count) {
            std::memcpy(out, &bgr, 4);
        } else {
            std::memcpy(out, &bgr, 3);
        }
    }
}

}  // namespace
}  // namespace veerpic::resample
