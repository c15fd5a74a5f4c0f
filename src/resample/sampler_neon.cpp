// The B-spline sampler with NEON (64-bit ARM): one pixel at a time, the same
// integer arithmetic as the portable sampler. Each tap's blue, green, red
// (and the next tap's blue, in a lane whose sums are never used) is
// multiplied by the tap's weight and accumulated in 32 bits; the row sums
// are rounded, shifted and saturated to 16 bits, then weighted by the rows'
// weights the same way.
#include "resample/sampler.h"

#if defined(__aarch64__)

#include <arm_neon.h>

namespace veerpic::resample {

namespace {

// Row r's horizontal sum, rounded, shifted and saturated to 16 bits.
inline int16x4_t RowSum(const std::int16_t* p, int16x8_t wx) {
    int32x4_t h = vdupq_n_s32(1 << (kHorizontalShift - 1));
    h = vmlal_laneq_s16(h, vld1_s16(p), wx, 0);
    h = vmlal_laneq_s16(h, vld1_s16(p + 3), wx, 1);
    h = vmlal_laneq_s16(h, vld1_s16(p + 6), wx, 2);
    h = vmlal_laneq_s16(h, vld1_s16(p + 9), wx, 3);
    h = vmlal_laneq_s16(h, vld1_s16(p + 12), wx, 4);
    h = vmlal_laneq_s16(h, vld1_s16(p + 15), wx, 5);
    return vqmovn_s32(vshrq_n_s32(h, kHorizontalShift));
}

}  // namespace

void SampleRunNeon(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                   std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    std::int16_t scratch[kTaps * kTapRowValues];
    for (std::int32_t k = 0; k < count; ++k, u += du, v += dv, out += 3) {
        const SourcePosition x = DecodePosition(u);
        const SourcePosition y = DecodePosition(v);
        std::ptrdiff_t pitch = 0;
        const std::int16_t* taps = TapRows(source, x, y, scratch, &pitch);
        const int16x8_t wx = vld1q_s16(kBSpline5Weights.weights[x.fx]);
        const int16x8_t wy = vld1q_s16(kBSpline5Weights.weights[y.fx]);
        int32x4_t sum = vdupq_n_s32(1 << (kVerticalShift - 1));
        sum = vmlal_laneq_s16(sum, RowSum(taps, wx), wy, 0);
        sum = vmlal_laneq_s16(sum, RowSum(taps + pitch, wx), wy, 1);
        sum = vmlal_laneq_s16(sum, RowSum(taps + 2 * pitch, wx), wy, 2);
        sum = vmlal_laneq_s16(sum, RowSum(taps + 3 * pitch, wx), wy, 3);
        sum = vmlal_laneq_s16(sum, RowSum(taps + 4 * pitch, wx), wy, 4);
        sum = vmlal_laneq_s16(sum, RowSum(taps + 5 * pitch, wx), wy, 5);
        sum = vaddq_s32(vshrq_n_s32(sum, kVerticalShift), vdupq_n_s32(kCoefficientOffset));
        const uint8x8_t bytes = vqmovn_u16(vcombine_u16(vqmovun_s32(sum), vdup_n_u16(0)));
        std::uint8_t bgr[8];
        vst1_u8(bgr, bytes);
        std::memcpy(out, bgr, 3);
    }
}

}  // namespace veerpic::resample

#endif
