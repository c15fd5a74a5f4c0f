// The B-spline sampler with SSSE3: one pixel at a time, the same integer
// arithmetic as the portable sampler (16-bit products summed in 32 bits).
#include "resample/sampler.h"

#if defined(__x86_64__) || defined(__i386__)

#include "resample/sampler_pixel.h"

namespace veerpic::resample {

void SampleRunSsse3(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                    std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    SampleRunPixels<MultiplyAddMadd>(source, u, v, du, dv, count, out);
}

}  // namespace veerpic::resample

#endif
