#include "rotate/geometry.h"

#include <cmath>
#include <numbers>

#include "numeric/extended.h"
#include "numeric/trig.h"

namespace veerpic {

namespace {

using X = Extended;

X E(double v) {
    return X::FromDouble(v);
}

// Truncation toward zero of a corner coordinate; false when it leaves the
// 32-bit range (a canvas that large is refused anyway).
bool TruncToLong(const X& v, platform::LONG* out) {
    if (v.IsNaN() || v.IsInfinite()) {
        return false;
    }
    const double d = v.ToDouble();
    if (!(d > -2147483649.0 && d < 2147483648.0)) {
        return false;
    }
    *out = static_cast<platform::LONG>(v.TruncToInt64());
    return true;
}

}  // namespace

bool IsWholeTurn(double angleDegrees) {
    if (angleDegrees == 0 || std::isinf(angleDegrees) || std::isnan(angleDegrees) ||
        std::fabs(angleDegrees) < 0x1p-1026) {
        return true;
    }
    // fmod is exact: the remainder with the quotient truncated toward zero.
    return std::fmod(angleDegrees, 360.0) == 0;
}

RotationGeometry ComputeRotationGeometry(platform::LONG width, platform::LONG height,
                                         double angleDegrees) {
    RotationGeometry g;

    // Radians: (angle × π) × (1/180), the first product rounded to extended,
    // 1/180 the extended value nearest it, the result rounded to double.
    static const X kOneOver180 = X::FromInt64(1) / X::FromInt64(180);
    g.theta = ((E(angleDegrees) * E(std::numbers::pi)) * kOneOver180).ToDouble();
    if (!(std::fabs(g.theta) < 0x1p53)) {
        return g;  // beyond the range where sine and cosine mean anything
    }
    g.sinTheta = Sine(g.theta);
    g.cosTheta = Cosine(g.theta);
    const X s = E(g.sinTheta);
    const X c = E(g.cosTheta);
    const X w = X::FromInt64(width);
    const X h = X::FromInt64(height);

    // Bounding box: each product rounded to double before its absolute value,
    // the sum formed in extended and rounded to double.
    auto productToDouble = [](const X& a, const X& b) { return (a * b).ToDouble(); };
    g.boxWidth =
        (E(std::fabs(productToDouble(w, c))) + E(std::fabs(productToDouble(h, s)))).ToDouble();
    g.boxHeight =
        (E(std::fabs(productToDouble(w, s))) + E(std::fabs(productToDouble(h, c)))).ToDouble();
    if (!(g.boxWidth < 2147483648.0 && g.boxHeight < 2147483648.0)) {
        return g;
    }
    g.canvasWidth = static_cast<platform::LONG>(g.boxWidth);
    g.canvasHeight = static_cast<platform::LONG>(g.boxHeight);

    const X cx = E(g.boxWidth * 0.5);
    const X cy = E(g.boxHeight * 0.5);
    const X hw = E(width * 0.5);
    const X hh = E(height * 0.5);

    // Each coordinate: (first product) ± (second product) + centre, every
    // step rounded to extended, then truncated toward zero.
    const X xs[3] = {((-hw) * c + hh * s) + cx, (hw * c + hh * s) + cx, ((-hw) * c - hh * s) + cx};
    const X ys[3] = {((-hw) * s - hh * c) + cy, (hw * s - hh * c) + cy, ((-hw) * s + hh * c) + cy};
    for (int i = 0; i < 3; ++i) {
        if (!TruncToLong(xs[i], &g.corners[i].x) || !TruncToLong(ys[i], &g.corners[i].y)) {
            return g;
        }
    }
    g.valid = true;
    return g;
}

}  // namespace veerpic
