// The B-spline sampler with SSSE3: one pixel at a time, the same integer
// arithmetic as the portable sampler (16-bit products summed in 32 bits).
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include <tmmintrin.h>

namespace veerpic::resample {

void SampleRunSsse3(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
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
        auto row = [&](int r) {
            const std::int16_t* p = taps + r * pitch;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 6));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
            __m128i h = _mm_add_epi32(_mm_madd_epi16(_mm_shuffle_epi8(a, pairs), wx01),
                                      _mm_madd_epi16(_mm_shuffle_epi8(b, pairs), wx23));
            h = _mm_add_epi32(h, _mm_madd_epi16(_mm_shuffle_epi8(c, pairs), wx45));
            return _mm_srai_epi32(_mm_add_epi32(h, roundH), kHorizontalShift);
        };
        auto rowPair = [&](int r, int shuffle) {
            const __m128i pair = _mm_shuffle_epi8(_mm_packs_epi32(row(r), row(r + 1)), interleave);
            return _mm_madd_epi16(pair, shuffle == 0   ? _mm_shuffle_epi32(wy, 0x00)
                                        : shuffle == 1 ? _mm_shuffle_epi32(wy, 0x55)
                                                       : _mm_shuffle_epi32(wy, 0xAA));
        };
        __m128i sum = _mm_add_epi32(_mm_add_epi32(rowPair(0, 0), rowPair(2, 1)), rowPair(4, 2));
        sum = _mm_add_epi32(_mm_srai_epi32(_mm_add_epi32(sum, roundV), kVerticalShift), offset);
        const __m128i words = _mm_packs_epi32(sum, sum);
        const std::uint32_t bgr =
            static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(words, words)));
        std::memcpy(out, &bgr, 3);
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
