// The B-spline sampler with AVX2 and AVX-VNNI, two pixels at a time: the
// multiply-adds accumulate in one instruction each, with the same sums.
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "resample/sampler_pixel_pairs.h"

namespace veerpic::resample {
namespace {

struct MultiplyAddVnni {
    static __m128i Apply(__m128i sum, __m128i pairs, __m128i weights) {
        return _mm_dpwssd_avx_epi32(sum, pairs, weights);
    }
};

struct MultiplyAddVnni256 {
    static __m256i Apply(__m256i sum, __m256i pairs, __m256i weights) {
        return _mm256_dpwssd_avx_epi32(sum, pairs, weights);
    }
};

}  // namespace

void SampleRunAvxVnni(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                      std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunPixelPairs<MultiplyAddVnni, MultiplyAddVnni256>(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
