// The resampling kernel of the transfer: Keys' cubic convolution with
// a = -1/2, four taps along each axis, weights in 14-bit fixed point at
// 1/256-pixel phases. The samplers read it through kBicubicWeights.
#pragma once

#include <cstdint>

namespace veerpic::resample {

// Sub-pixel positions are rounded to 1/256 of a source pixel; the weights of
// the four taps are integers whose sum is exactly kWeightOne.
inline constexpr int kFractionBits = 8;
inline constexpr int kFractionSteps = 1 << kFractionBits;
inline constexpr std::int32_t kWeightOne = 1 << 14;

// The horizontal pass keeps 6 bits below the channel value (the sum shifted
// right by kHorizontalShift), so that it fits 16 bits for the vertical pass;
// the vertical pass then removes the remaining kVerticalShift bits.
inline constexpr int kHorizontalShift = 8;
inline constexpr int kVerticalShift = 14 + 14 - kHorizontalShift;

struct alignas(16) BicubicWeightTable {
    static constexpr int kSupport = 4;  // taps along each axis
    // weights[f][k]: tap k (at offset k - 1 from the pixel left of or above
    // the position) for the fraction f / 256.
    std::int16_t weights[kFractionSteps][kSupport];
};

// Keys' cubic convolution kernel with a = -1/2. For the fraction t the taps
// at -1, 0, 1, 2 weigh -t(1-t)^2/2, (3t^3 - 5t^2 + 2)/2, (-3t^3 + 4t^2 + t)/2
// and -t^2(1-t)/2. With t = f/256 each is an exact multiple of 2^-25; it is
// rounded to 2^-14 (half away from zero) and the rounding error of the sum
// is taken up by the larger middle tap, so every row sums to kWeightOne.
// Fraction 0 gives exactly (0, 1, 0, 0): a position on a pixel centre
// reproduces the pixel.
constexpr BicubicWeightTable MakeBicubicWeightTable() {
    BicubicWeightTable table{};
    constexpr std::int64_t n = kFractionSteps;
    constexpr int shift = 1 + 3 * kFractionBits - 14;  // from 2^-25 units to 2^-14
    auto round = [](std::int64_t v) {
        const std::int64_t half = std::int64_t{1} << (shift - 1);
        return v >= 0 ? (v + half) >> shift : -((-v + half) >> shift);
    };
    for (std::int64_t f = 0; f < n; ++f) {
        const std::int64_t g = n - f;
        // Numerators over 2 n^3.
        const std::int64_t w[4] = {
            -f * g * g,
            3 * f * f * f - 5 * f * f * n + 2 * n * n * n,
            -3 * f * f * f + 4 * f * f * n + f * n * n,
            -f * f * g,
        };
        std::int64_t r[4];
        std::int64_t sum = 0;
        for (int k = 0; k < 4; ++k) {
            r[k] = round(w[k]);
            sum += r[k];
        }
        r[w[1] >= w[2] ? 1 : 2] += kWeightOne - sum;
        for (int k = 0; k < 4; ++k) {
            table.weights[f][k] = static_cast<std::int16_t>(r[k]);
        }
    }
    return table;
}

inline constexpr BicubicWeightTable kBicubicWeights = MakeBicubicWeightTable();

}  // namespace veerpic::resample
