// The B-spline sampler compiled for AVX2: the SSSE3 sampler's operations on
// two pixels at a time, in their three-operand (VEX) form.
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include "resample/sampler_pixel_pairs.h"

namespace veerpic::resample {

void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunPixelPairs<MultiplyAddMadd, MultiplyAddMadd256>(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
