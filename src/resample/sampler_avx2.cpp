// The B-spline sampler compiled for AVX2: the SSSE3 sampler's operations in
// their three-operand (VEX) form, which spares register copies.
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include "resample/sampler_pixel.h"

namespace veerpic::resample {

void SampleRunAvx2(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunPixels<MultiplyAddMadd>(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
