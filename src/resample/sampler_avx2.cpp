// The bicubic sampler with AVX2: two pixels at a time, one in each 128-bit
// lane, with the same integer arithmetic as the portable sampler.
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace veerpic::resample {

namespace {

inline __m256i LoadPair(const std::uint8_t* low, const std::uint8_t* high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

inline __m256i LoadWeightPair(std::int32_t low, std::int32_t high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kBicubicWeights.weights[low]))),
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kBicubicWeights.weights[high])), 1);
}

// Everything a pair of samples needs besides their taps.
class PairSampler {
  public:
    explicit PairSampler(int bytesPerPixel) {
        // Byte shuffles that widen the 4 taps of a row into 16-bit pairs
        // (b0 b1 g0 g1 r0 r1 0 0) and (b2 b3 g2 g3 r2 r3 0 0), in both lanes.
        if (bytesPerPixel == 3) {
            pairsLow_ = _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,
                                         0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
            pairsHigh_ =
                _mm256_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1, 6, -1,
                                 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
        } else {
            pairsLow_ = _mm256_setr_epi8(0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, -1, -1, -1, -1,
                                         0, -1, 4, -1, 1, -1, 5, -1, 2, -1, 6, -1, -1, -1, -1, -1);
            pairsHigh_ =
                _mm256_setr_epi8(8, -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, -1, -1, -1, -1, 8,
                                 -1, 12, -1, 9, -1, 13, -1, 10, -1, 14, -1, -1, -1, -1, -1);
        }
        // Interleaves two rows' sums packed to 16 bits, (b g r 0 b' g' r' 0),
        // into (b b' g g' r r' 0 0) for a multiply-add with two row weights.
        interleave_ = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1, 0, 1,
                                       8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1);
        rounding_ = _mm256_set1_epi32(1 << (kVerticalShift - 1));
    }

    // Samples A (low lane) and B (high lane) from their tap rows and
    // fractions; returns blue, green, red in the low 3 bytes of each.
    inline void Sample(const std::uint8_t* tapsA, std::ptrdiff_t pitchA, const std::uint8_t* tapsB,
                       std::ptrdiff_t pitchB, SourcePosition xa, SourcePosition ya,
                       SourcePosition xb, SourcePosition yb, std::uint32_t* a,
                       std::uint32_t* b) const {
        const __m256i wx = LoadWeightPair(xa.fx, xb.fx);
        const __m256i wx01 = _mm256_shuffle_epi32(wx, 0x00);
        const __m256i wx23 = _mm256_shuffle_epi32(wx, 0x55);
        const __m256i wy = LoadWeightPair(ya.fx, yb.fx);
        auto row = [&](int r) {
            const __m256i p = LoadPair(tapsA + r * pitchA, tapsB + r * pitchB);
            const __m256i h =
                _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(p, pairsLow_), wx01),
                                 _mm256_madd_epi16(_mm256_shuffle_epi8(p, pairsHigh_), wx23));
            return _mm256_srai_epi32(h, kHorizontalShift);
        };
        const __m256i rows01 = _mm256_shuffle_epi8(_mm256_packs_epi32(row(0), row(1)), interleave_);
        const __m256i rows23 = _mm256_shuffle_epi8(_mm256_packs_epi32(row(2), row(3)), interleave_);
        __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(rows01, _mm256_shuffle_epi32(wy, 0x00)),
                                       _mm256_madd_epi16(rows23, _mm256_shuffle_epi32(wy, 0x55)));
        sum = _mm256_srai_epi32(_mm256_add_epi32(sum, rounding_), kVerticalShift);
        const __m256i words = _mm256_packs_epi32(sum, sum);
        const __m256i bytes = _mm256_packus_epi16(words, words);
        *a = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(bytes));
        *b = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
    }

  private:
    __m256i pairsLow_, pairsHigh_, interleave_, rounding_;
};

}  // namespace

void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    const PairSampler sampler(source.bytesPerPixel);
    const int bpp = source.bytesPerPixel;
    alignas(16) std::uint8_t scratchA[64];
    alignas(16) std::uint8_t scratchB[64];

    // Steps whose taps are all inside and safe to load directly.
    std::int32_t fastFirst = 0;
    std::int32_t fastEnd = 0;
    std::int32_t yFirst = 0;
    std::int32_t yEnd = 0;
    FastSteps(u, du, source.fastMaxX, count, &fastFirst, &fastEnd);
    FastSteps(v, dv, source.fastMaxY, count, &yFirst, &yEnd);
    // (No templates from the standard library in this file: an out-of-line
    // copy compiled for AVX2 could be the one the linker keeps for all.)
    fastFirst = fastFirst > yFirst ? fastFirst : yFirst;
    fastEnd = fastEnd < yEnd ? fastEnd : yEnd;
    if (fastFirst > fastEnd) {
        fastFirst = fastEnd = 0;
    }

    std::int32_t k = 0;
    // A fourth byte lands on the next pixel, which is written next.
    auto store = [&](std::int32_t at, std::uint32_t bgr) {
        if (at + 1 < count) {
            std::memcpy(out + 3 * static_cast<std::ptrdiff_t>(at), &bgr, 4);
        } else {
            std::memcpy(out + 3 * static_cast<std::ptrdiff_t>(at), &bgr, 3);
        }
    };
    // Pixels [k, end) with clamped taps where needed.
    auto checked = [&](std::int32_t end) {
        while (k < end) {
            const bool hasB = k + 1 < end;
            const SourcePosition xa = DecodePosition(u);
            const SourcePosition ya = DecodePosition(v);
            const SourcePosition xb = hasB ? DecodePosition(u + du) : xa;
            const SourcePosition yb = hasB ? DecodePosition(v + dv) : ya;
            std::ptrdiff_t pitchA = 0;
            std::ptrdiff_t pitchB = 0;
            const std::uint8_t* tapsA = TapRows(source, xa, ya, scratchA, &pitchA);
            const std::uint8_t* tapsB = TapRows(source, xb, yb, scratchB, &pitchB);
            std::uint32_t a = 0;
            std::uint32_t b = 0;
            sampler.Sample(tapsA, pitchA, tapsB, pitchB, xa, ya, xb, yb, &a, &b);
            store(k, a);
            if (hasB) {
                store(k + 1, b);
            }
            const int step = hasB ? 2 : 1;
            k += step;
            u += step * du;
            v += step * dv;
        }
    };

    checked(fastFirst);
    {
        // The inner loop keeps its state in registers; every pair here has a
        // pixel after it, so both stores may write 4 bytes.
        const std::ptrdiff_t pitch = source.pitch;
        const std::uint8_t* const origin = source.origin;
        std::uint8_t* to = out + 3 * static_cast<std::ptrdiff_t>(k);
        std::int64_t uk = u;
        std::int64_t vk = v;
        std::int32_t kk = k;
        const std::int32_t stop = fastEnd < count - 1 ? fastEnd : count - 1;
        for (; kk + 1 < stop; kk += 2, uk += 2 * du, vk += 2 * dv, to += 6) {
            const SourcePosition xa = DecodePosition(uk);
            const SourcePosition ya = DecodePosition(vk);
            const SourcePosition xb = DecodePosition(uk + du);
            const SourcePosition yb = DecodePosition(vk + dv);
            // Tap (x0 - 1, y0 - 1) of each.
            const std::uint8_t* tapsA = origin + ((ya.x0 - 1) * pitch + (xa.x0 - 1) * bpp);
            const std::uint8_t* tapsB = origin + ((yb.x0 - 1) * pitch + (xb.x0 - 1) * bpp);
            std::uint32_t a = 0;
            std::uint32_t b = 0;
            sampler.Sample(tapsA, pitch, tapsB, pitch, xa, ya, xb, yb, &a, &b);
            std::memcpy(to, &a, 4);
            std::memcpy(to + 3, &b, 4);
        }
        k = kk;
        u = uk;
        v = vk;
    }
    checked(count);
}

}  // namespace veerpic::resample

#else

namespace veerpic::resample {

void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunScalar(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
