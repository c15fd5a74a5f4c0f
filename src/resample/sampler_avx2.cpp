// The B-spline sampler with AVX2.
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include "resample/sampler_pairs.h"

namespace veerpic::resample {
namespace {

struct MultiplyAddAvx2 {
    static __m256i Apply(__m256i sum, __m256i pairs, __m256i weights) {
        return _mm256_add_epi32(sum, _mm256_madd_epi16(pairs, weights));
    }
};

}  // namespace

void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunPairs<MultiplyAddAvx2>(source, u, v, du, dv, count, out);
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
