// The resampling kernel of the transfer: quintic B-spline interpolation
// (bspline5.h). The source is first turned into spline coefficients by the
// prefilter; a sample then takes 6 x 6 coefficients around its position
// with the spline's weights at 1/256-pixel phases, in 16-bit fixed point.
#pragma once

#include <cstdint>

#include "resample/bspline5.h"

namespace veerpic::resample {

// Sub-pixel positions are rounded to 1/256 of a source pixel.
inline constexpr int kFractionBits = BSpline5Kernel::kPhaseBits;
inline constexpr int kFractionSteps = 1 << kFractionBits;
inline constexpr int kTaps = BSpline5Kernel::kTaps;          // along each axis
inline constexpr int kFirstTap = BSpline5Kernel::kFirstTap;  // offset of the first tap

// The horizontal pass keeps 4 bits below the channel value (its sums
// shifted right by kHorizontalShift, rounded), which holds its range in 16
// bits for the vertical pass; the vertical pass removes the remaining
// kVerticalShift bits.
inline constexpr int kHorizontalShift = BSpline5Kernel::kWeightBits + kCoefficientBits - 4;
inline constexpr int kVerticalShift = BSpline5Kernel::kWeightBits + 4;

}  // namespace veerpic::resample
