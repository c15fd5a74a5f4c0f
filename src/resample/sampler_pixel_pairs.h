// The sampler of sampler_pixel.h two pixels at a time, for the files
// compiled for AVX2: each 128-bit half of a 256-bit register holds one
// pixel and goes through exactly the operations the 128-bit sampler applies
// to it (every operation used works within the halves), so the bytes are
// the same. An odd last pixel goes through the 128-bit sampler.
#pragma once

#include <immintrin.h>

#include "resample/sampler_pixel.h"

namespace veerpic::resample {
namespace {

// The multiply-add of AVX2 for 256-bit registers, as MultiplyAddMadd.
struct MultiplyAddMadd256 {
    static __m256i Apply(__m256i sum, __m256i pairs, __m256i weights) {
        return _mm256_add_epi32(sum, _mm256_madd_epi16(pairs, weights));
    }
};

// The 16 bytes at `low` in the lower half, those at `high` in the upper.
__m256i LoadHalves(const void* low, const void* high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(low))),
        _mm_loadu_si128(static_cast<const __m128i*>(high)), 1);
}

// MultiplyAdd256 is the 256-bit form of MultiplyAdd.
template <typename MultiplyAdd, typename MultiplyAdd256>
void SampleRunPixelPairs(const SampleSource& source, std::int64_t u, std::int64_t v,
                         std::int64_t du, std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    const __m256i pairs = _mm256_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1,  //
                                           0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1);
    const __m256i interleave =
        _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1,  //
                         0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1);
    const __m256i roundH = _mm256_set1_epi32(1 << (kHorizontalShift - 1));
    const __m256i roundV = _mm256_set1_epi32(1 << (kVerticalShift - 1));
    const __m256i offset = _mm256_set1_epi32(kCoefficientOffset);
    alignas(16) std::int16_t scratch0[kTaps * kTapRowValues];
    alignas(16) std::int16_t scratch1[kTaps * kTapRowValues];

    std::int32_t k = 0;
    for (; k + 1 < count; k += 2, u += 2 * du, v += 2 * dv, out += 6) {
        const SourcePosition x0 = DecodePosition(u);
        const SourcePosition y0 = DecodePosition(v);
        const SourcePosition x1 = DecodePosition(u + du);
        const SourcePosition y1 = DecodePosition(v + dv);
        std::ptrdiff_t pitch0 = 0, pitch1 = 0;
        const std::int16_t* taps0 = TapRows(source, x0, y0, scratch0, &pitch0);
        const std::int16_t* taps1 = TapRows(source, x1, y1, scratch1, &pitch1);
        const __m256i wx =
            LoadHalves(kBSpline5Weights.weights[x0.fx], kBSpline5Weights.weights[x1.fx]);
        const __m256i wy =
            LoadHalves(kBSpline5Weights.weights[y0.fx], kBSpline5Weights.weights[y1.fx]);
        const __m256i wx01 = _mm256_shuffle_epi32(wx, 0x00);
        const __m256i wx23 = _mm256_shuffle_epi32(wx, 0x55);
        const __m256i wx45 = _mm256_shuffle_epi32(wx, 0xAA);
        auto row = [&](int r) {
            const std::int16_t* p0 = taps0 + r * pitch0;
            const std::int16_t* p1 = taps1 + r * pitch1;
            __m256i h =
                MultiplyAdd256::Apply(roundH, _mm256_shuffle_epi8(LoadHalves(p0, p1), pairs), wx01);
            h = MultiplyAdd256::Apply(h, _mm256_shuffle_epi8(LoadHalves(p0 + 6, p1 + 6), pairs),
                                      wx23);
            h = MultiplyAdd256::Apply(h, _mm256_shuffle_epi8(LoadHalves(p0 + 12, p1 + 12), pairs),
                                      wx45);
            return _mm256_srai_epi32(h, kHorizontalShift);
        };
        auto rowPair = [&](__m256i sum, int r, __m256i weights) {
            return MultiplyAdd256::Apply(
                sum, _mm256_shuffle_epi8(_mm256_packs_epi32(row(r), row(r + 1)), interleave),
                weights);
        };
        __m256i sum = rowPair(roundV, 0, _mm256_shuffle_epi32(wy, 0x00));
        sum = rowPair(sum, 2, _mm256_shuffle_epi32(wy, 0x55));
        sum = rowPair(sum, 4, _mm256_shuffle_epi32(wy, 0xAA));
        sum = _mm256_add_epi32(_mm256_srai_epi32(sum, kVerticalShift), offset);
        const __m256i words = _mm256_packs_epi32(sum, sum);
        const __m256i bytes = _mm256_packus_epi16(words, words);
        const auto first = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(bytes));
        const auto second =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
        // The fourth byte of each lands on the pixel after it, written next.
        std::memcpy(out, &first, 4);
        if (k + 2 < count) {
            std::memcpy(out + 3, &second, 4);
        } else {
            std::memcpy(out + 3, &second, 3);
        }
    }
    if (k < count) {
        SampleRunPixels<MultiplyAdd>(source, u, v, du, dv, 1, out);
    }
}

}  // namespace
}  // namespace veerpic::resample
