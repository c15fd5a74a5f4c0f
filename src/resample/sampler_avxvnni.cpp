// The B-spline sampler with AVX2 and AVX-VNNI: the multiply-adds accumulate
// in one instruction each, with the same sums.
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "resample/sampler_pixel.h"

namespace veerpic::resample {
namespace {

struct MultiplyAddVnni {
    static __m128i Apply(__m128i sum, __m128i pairs, __m128i weights) {
        return _mm_dpwssd_avx_epi32(sum, pairs, weights);
    }
};

}  // namespace

void SampleRunAvxVnni(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                      std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunPixels<MultiplyAddVnni>(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
