// The bicubic sampler with SSSE3: one pixel at a time, the same integer
// arithmetic as the portable sampler (16-bit products summed in 32 bits).
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include <tmmintrin.h>

namespace veerpic::resample {

void SampleRunSsse3(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                    std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    // Byte shuffles that widen the 4 taps of a row into 16-bit pairs
    // (b0 b1 g0 g1 r0 r1 0 0) and (b2 b3 g2 g3 r2 r3 0 0).
    const bool three = source.bytesPerPixel == 3;
    const __m128i pairsLow =
        three ? _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1)
              : _mm_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, -1, -1, -1, -1);
    const __m128i pairsHigh =
        three ? _mm_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1)
              : _mm_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, -1, -1, -1, -1);
    const __m128i zero = _mm_setzero_si128();
    const __m128i rounding = _mm_set1_epi32(1 << (kVerticalShift - 1));
    alignas(16) std::uint8_t scratch[64];

    for (std::int32_t k = 0; k < count; ++k, u += du, v += dv, out += 3) {
        const SourcePosition x = DecodePosition(u);
        const SourcePosition y = DecodePosition(v);
        std::ptrdiff_t pitch = 0;
        const std::uint8_t* taps = TapRows(source, x, y, scratch, &pitch);

        const __m128i wx =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kBicubicWeights.weights[x.fx]));
        const __m128i wx01 = _mm_shuffle_epi32(wx, 0x00);
        const __m128i wx23 = _mm_shuffle_epi32(wx, 0x55);
        // Each vertical weight in the low half of a 32-bit lane, 0 above: a
        // multiply-add with a row's 32-bit sums then multiplies the sums.
        const __m128i wy = _mm_unpacklo_epi16(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kBicubicWeights.weights[y.fx])), zero);

        auto row = [&](int r) {
            const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(taps + r * pitch));
            const __m128i h = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi8(p, pairsLow), wx01),
                                            _mm_madd_epi16(_mm_shuffle_epi8(p, pairsHigh), wx23));
            return _mm_srai_epi32(h, kHorizontalShift);
        };
        __m128i sum = _mm_madd_epi16(row(0), _mm_shuffle_epi32(wy, 0x00));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(row(1), _mm_shuffle_epi32(wy, 0x55)));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(row(2), _mm_shuffle_epi32(wy, 0xAA)));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(row(3), _mm_shuffle_epi32(wy, 0xFF)));
        sum = _mm_srai_epi32(_mm_add_epi32(sum, rounding), kVerticalShift);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(sum, sum), zero);
        const std::uint32_t bgr = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes));
        // The fourth byte lands on the next pixel, which is written next.
        if (k + 1 < count) {
            std::memcpy(out, &bgr, 4);
        } else {
            std::memcpy(out, &bgr, 3);
        }
    }
}

}  // namespace veerpic::resample

#else

namespace veerpic::resample {

void SampleRunSsse3(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                    std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunScalar(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
