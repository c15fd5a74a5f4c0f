// Sine and cosine of a double, correctly rounded (to nearest, ties to even)
// for every finite argument below 2^53 in magnitude. The argument reduction
// is exact, and the results are the same bits on every compiler and
// processor: only integer arithmetic and double additions and
// multiplications in a fixed order are used (no fused multiply-add, no long
// double, no library sine).
//
// A fast double-double evaluation with a proven error bound settles almost
// every argument; when its result lies too close to a rounding boundary, a
// fixed-point evaluation on 384 bits decides.
//
// NaN, the infinities and magnitudes of 2^53 or more give NaN.
#pragma once

namespace veerpic {

double Sine(double x);
double Cosine(double x);

namespace trig_detail {

enum class Function { kSine, kCosine };

// The fast evaluation as a double-double hi + lo (sign included), with a
// relative error below 2^-90. False when it does not apply: outside
// 2^-27 <= |x| < 2^53, or when the reduced argument is too small for the
// fixed bound (then the slow path is used).
bool FastValue(Function f, double x, double* hi, double* lo);

// The fast evaluation and its rounding test: true with the correctly rounded
// result in *out when the error bound decides the rounding.
bool FastRounded(Function f, double x, double* out);

// The fixed-point evaluation alone, for 2^-27 <= |x| < 2^53.
double SlowRounded(Function f, double x);

}  // namespace trig_detail

}  // namespace veerpic
