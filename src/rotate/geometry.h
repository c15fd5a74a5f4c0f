// Where a turned picture lands: the whole-turn test, the bounding box, the
// canvas size and the three corner points handed to the parallelogram
// transfer. A pure function of the source size and the angle.
#pragma once

#include <cstdint>

#include "surface/platform.h"

namespace veerpic {

// True when `angleDegrees` is a whole number of turns: its remainder by 360
// (quotient truncated toward zero) is zero. ±0, the infinities, NaN and
// magnitudes below 2^-1026 count as whole turns.
bool IsWholeTurn(double angleDegrees);

struct RotationGeometry {
    bool valid = false;  // false when the angle is beyond the trigonometric range
                         // or the canvas would not fit a bitmap's 32-bit sizes
    double theta = 0;    // radians
    double sinTheta = 0;
    double cosTheta = 0;
    double boxWidth = 0;   // Wr
    double boxHeight = 0;  // Hr
    platform::LONG canvasWidth = 0;
    platform::LONG canvasHeight = 0;
    // Where the upper-left, upper-right and lower-left corners of the source land.
    platform::POINT corners[3] = {};
};

// The geometry of turning a width x height picture by `angleDegrees` (not a
// whole turn) about its centre, clockwise on screen for a positive angle.
// Evaluated in the 80-bit extended format with the roundings to double that
// fix every result bit for bit.
RotationGeometry ComputeRotationGeometry(platform::LONG width, platform::LONG height,
                                         double angleDegrees);

}  // namespace veerpic
