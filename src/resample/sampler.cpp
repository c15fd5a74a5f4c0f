// The portable sampler, and the choice of sampler for this machine.
#include "resample/sampler.h"

#include <algorithm>

#include "resample/cpu_features.h"

namespace veerpic::resample {

void SampleRunScalar(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                     std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    std::int16_t scratch[kTaps * kTapRowValues];
    for (std::int32_t k = 0; k < count; ++k, u += du, v += dv, out += 3) {
        const SourcePosition x = DecodePosition(u);
        const SourcePosition y = DecodePosition(v);
        std::ptrdiff_t pitch = 0;
        const std::int16_t* taps = TapRows(source, x, y, scratch, &pitch);
        const std::int16_t* wx = kBSpline5Weights.weights[x.fx];
        const std::int16_t* wy = kBSpline5Weights.weights[y.fx];
        std::int32_t sum[3] = {0, 0, 0};
        for (int r = 0; r < kTaps; ++r) {
            const std::int16_t* row = taps + r * pitch;
            for (int c = 0; c < 3; ++c) {
                std::int32_t h = 0;
                for (int t = 0; t < kTaps; ++t) {
                    h += wx[t] * row[3 * t + c];
                }
                h = (h + (1 << (kHorizontalShift - 1))) >> kHorizontalShift;
                sum[c] += wy[r] * std::clamp(h, -32768, 32767);
            }
        }
        for (int c = 0; c < 3; ++c) {
            const std::int32_t value =
                ((sum[c] + (1 << (kVerticalShift - 1))) >> kVerticalShift) + kCoefficientOffset;
            out[c] = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
        }
    }
}

SampleRunFunction ChooseSampleRun(bool allowSimd) {
#if defined(__x86_64__) || defined(__i386__)
    if (allowSimd) {
        const CpuFeatures& cpu = ProcessorFeatures();
        if (cpu.avxVnni) {
            return SampleRunAvxVnni;
        }
        if (cpu.avx2) {
            return SampleRunAvx2;
        }
        if (cpu.ssse3) {
            return SampleRunSsse3;
        }
    }
#elif defined(__aarch64__)
    if (allowSimd) {
        return SampleRunNeon;
    }
#else
    (void)allowSimd;
#endif
    return SampleRunScalar;
}

}  // namespace veerpic::resample
