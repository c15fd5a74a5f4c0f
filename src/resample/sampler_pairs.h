// The pair sampler shared by the AVX2 samplers: two pixels at a time, one in
// each 128-bit lane, with the same integer arithmetic as the portable
// sampler. Included by each file that compiles it for its instruction set;
// everything here has internal linkage, and nothing here instantiates a
// template of the standard library, so no out-of-line copy is shared
// between them.
#pragma once

#include <immintrin.h>

#include "resample/sampler.h"

namespace veerpic::resample {

namespace {

inline __m256i LoadPair(const std::int16_t* low, const std::int16_t* high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(high)), 1);
}

inline __m256i LoadWeightPair(std::int32_t low, std::int32_t high) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(
            _mm_load_si128(reinterpret_cast<const __m128i*>(kBSpline5Weights.weights[low]))),
        _mm_load_si128(reinterpret_cast<const __m128i*>(kBSpline5Weights.weights[high])), 1);
}

// Everything a pair of samples needs besides their taps. MultiplyAdd::Apply
// (sum, pairs, weights) adds the products of the 16-bit pairs and weights to
// the 32-bit sums, pair by pair.
template <typename MultiplyAdd>
class PairSampler {
  public:
    PairSampler() {
        // Two taps of a row (b0 g0 r0 b1 g1 r1 ..) as pairs (b0 b1 g0 g1 r0 r1 0 0).
        pairs_ = _mm256_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1, 0, 1, 6, 7,
                                  2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1);
        // Two rows' sums packed to 16 bits, (b g r 0 b' g' r' 0), as pairs
        // (b b' g g' r r' 0 0) for a multiply-add with two row weights.
        interleave_ = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1, 0, 1,
                                       8, 9, 2, 3, 10, 11, 4, 5, 12, 13, -1, -1, -1, -1);
        roundH_ = _mm256_set1_epi32(1 << (kHorizontalShift - 1));
        roundV_ = _mm256_set1_epi32(1 << (kVerticalShift - 1));
        offset_ = _mm256_set1_epi32(kCoefficientOffset);
    }

    // Samples A (low lane) and B (high lane) from their tap rows and
    // fractions; returns blue, green, red in the low 3 bytes of each.
    inline void Sample(const std::int16_t* tapsA, std::ptrdiff_t pitchA, const std::int16_t* tapsB,
                       std::ptrdiff_t pitchB, SourcePosition xa, SourcePosition ya,
                       SourcePosition xb, SourcePosition yb, std::uint32_t* a,
                       std::uint32_t* b) const {
        const __m256i wx = LoadWeightPair(xa.fx, xb.fx);
        const __m256i wx01 = _mm256_shuffle_epi32(wx, 0x00);
        const __m256i wx23 = _mm256_shuffle_epi32(wx, 0x55);
        const __m256i wx45 = _mm256_shuffle_epi32(wx, 0xAA);
        const __m256i wy = LoadWeightPair(ya.fx, yb.fx);
        // The rounding term starts each sum; integer sums do not depend on
        // the order of their terms.
        auto row = [&](int r) {
            const std::int16_t* pa = tapsA + r * pitchA;
            const std::int16_t* pb = tapsB + r * pitchB;
            __m256i h = roundH_;
            h = MultiplyAdd::Apply(h, _mm256_shuffle_epi8(LoadPair(pa, pb), pairs_), wx01);
            h = MultiplyAdd::Apply(h, _mm256_shuffle_epi8(LoadPair(pa + 6, pb + 6), pairs_), wx23);
            h = MultiplyAdd::Apply(h, _mm256_shuffle_epi8(LoadPair(pa + 12, pb + 12), pairs_),
                                   wx45);
            return _mm256_srai_epi32(h, kHorizontalShift);
        };
        auto rowPair = [&](__m256i sum, int r, __m256i weights) {
            return MultiplyAdd::Apply(
                sum, _mm256_shuffle_epi8(_mm256_packs_epi32(row(r), row(r + 1)), interleave_),
                weights);
        };
        __m256i sum = rowPair(roundV_, 0, _mm256_shuffle_epi32(wy, 0x00));
        sum = rowPair(sum, 2, _mm256_shuffle_epi32(wy, 0x55));
        sum = rowPair(sum, 4, _mm256_shuffle_epi32(wy, 0xAA));
        sum = _mm256_add_epi32(_mm256_srai_epi32(sum, kVerticalShift), offset_);
        const __m256i words = _mm256_packs_epi32(sum, sum);
        const __m256i bytes = _mm256_packus_epi16(words, words);
        *a = static_cast<std::uint32_t>(_mm256_cvtsi256_si32(bytes));
        *b = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_extracti128_si256(bytes, 1)));
    }

  private:
    __m256i pairs_, interleave_, roundH_, roundV_, offset_;
};

template <typename MultiplyAdd>
void SampleRunPairs(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                    std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    const PairSampler<MultiplyAdd> sampler;
    alignas(16) std::int16_t scratchA[kTaps * kTapRowValues];
    alignas(16) std::int16_t scratchB[kTaps * kTapRowValues];

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
            const std::int16_t* tapsA = TapRows(source, xa, ya, scratchA, &pitchA);
            const std::int16_t* tapsB = TapRows(source, xb, yb, scratchB, &pitchB);
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
        // The inner loop keeps its state in registers. A pixel's store may
        // write 4 bytes where another pixel follows it, written next.
        const std::ptrdiff_t pitch = source.pitch;
        const std::int16_t* const origin = source.origin;
        std::uint8_t* to = out + 3 * static_cast<std::ptrdiff_t>(k);
        std::int64_t uk = u;
        std::int64_t vk = v;
        std::int32_t kk = k;
        const std::int32_t stop = fastEnd;
        for (; kk + 1 < stop; kk += 2, uk += 2 * du, vk += 2 * dv, to += 6) {
            const SourcePosition xa = DecodePosition(uk);
            const SourcePosition ya = DecodePosition(vk);
            const SourcePosition xb = DecodePosition(uk + du);
            const SourcePosition yb = DecodePosition(vk + dv);
            // Tap (x0 - 2, y0 - 2) of each.
            const std::int16_t* tapsA = origin + ((ya.x0 - 2) * pitch + (xa.x0 - 2) * 3);
            const std::int16_t* tapsB = origin + ((yb.x0 - 2) * pitch + (xb.x0 - 2) * 3);
            std::uint32_t a = 0;
            std::uint32_t b = 0;
            sampler.Sample(tapsA, pitch, tapsB, pitch, xa, ya, xb, yb, &a, &b);
            std::memcpy(to, &a, 4);
            if (kk + 2 < count) {
                std::memcpy(to + 3, &b, 4);
            } else {
                std::memcpy(to + 3, &b, 3);
            }
        }
        k = kk;
        u = uk;
        v = vk;
    }
    checked(count);
}

}  // namespace

}  // namespace veerpic::resample
