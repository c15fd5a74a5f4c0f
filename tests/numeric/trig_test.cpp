// Sine and cosine checks that need no reference library: known values,
// special arguments, symmetry, and the fast and slow evaluations agreeing.
#include "numeric/trig.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace {

using veerpic::Cosine;
using veerpic::Sine;
using veerpic::trig_detail::Function;

std::uint64_t Bits(double d) {
    return std::bit_cast<std::uint64_t>(d);
}

struct KnownValue {
    double x;
    double sin;
    double cos;
};

// Correctly rounded values from a 3000-bit evaluation; the sign of -x is
// checked too.
constexpr KnownValue kKnown[] = {
    {3.141592653589793, 1.2246467991473532e-16, -1.0},
    {1.5707963267948966, 1.0, 6.123233995736766e-17},
    {1.0, 0.8414709848078965, 0.5403023058681398},
    {0.5235987755982988, 0.49999999999999994, 0.8660254037844387},
    {0.7853981633974483, 0.7071067811865475, 0.7071067811865476},
    {2.356194490192345, 0.7071067811865476, -0.7071067811865475},
    {1e-05, 9.999999999833334e-06, 0.99999999995},
    {0x1p-26, 0x1p-26, 0.9999999999999999},
    {0x1.8p-26, 2.235174179077148e-08, 0.9999999999999998},
    {355.0, -3.014435335948845e-05, -0.999999999545659},
    {103993.0, -1.9129335778423752e-05, 0.9999999998170342},
    {1e15, 0.8582727931702359, -0.5131937377869703},
    {0x1p52, 0.8742173026236351, -0.4855348677422206},
    {6381956970095103.0, -0.5818037467964668, 0.813329207771117},
    {9007199254740991.0, -0.013949324588032911, -0.9999027034384584},
    // Signed zeros; below 2^-26 the sine is the argument itself, below 2^-27
    // the cosine is 1, and its step to 1 - 2^-53 comes near sqrt(2^-53).
    {0.0, 0.0, 1.0},
    {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::denorm_min(), 1.0},
    {0x1p-1022, 0x1p-1022, 1.0},
    {1e-300, 1e-300, 1.0},
    {0x1.fffffffffffffp-28, 0x1.fffffffffffffp-28, 1.0},
    {0x1.0000000000001p-27, 0x1.0000000000001p-27, 1.0},
    {0x1.6a09e667f3bccp-27, 0x1.6a09e667f3bccp-27, 1.0},
    {0x1.6a09e667f3bcdp-27, 0x1.6a09e667f3bcdp-27, 1.0 - 0x1p-53},
    {0x1.fffffffffffffp-27, 0x1.fffffffffffffp-27, 1.0 - 0x1p-53},
};

TEST(Trig, KnownValues) {
    for (const KnownValue& k : kKnown) {
        EXPECT_EQ(Bits(Sine(k.x)), Bits(k.sin)) << k.x;
        EXPECT_EQ(Bits(Cosine(k.x)), Bits(k.cos)) << k.x;
        EXPECT_EQ(Bits(Sine(-k.x)), Bits(-k.sin)) << k.x;
        EXPECT_EQ(Bits(Cosine(-k.x)), Bits(k.cos)) << k.x;
    }
}

TEST(Trig, ArgumentsOutsideTheDomainGiveNaN) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (double x : {kNaN, -kNaN, kInf, -kInf, 0x1p53, -0x1p53, 1e300}) {
        EXPECT_TRUE(std::isnan(Sine(x))) << x;
        EXPECT_TRUE(std::isnan(Cosine(x))) << x;
    }
}

// Random arguments over the binades from 2^-27 to 2^52, from raw bits so
// that the sequence is the same everywhere.
double RandomArgument(std::mt19937_64& rng) {
    const std::uint64_t r = rng();
    const std::uint64_t exponent = 1023 - 27 + (r >> 52) % 80;
    return std::bit_cast<double>((exponent << 52) | (rng() & ((std::uint64_t{1} << 52) - 1)));
}

TEST(Trig, SymmetryAndBothPathsAgree) {
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 3000; ++i) {
        const double x = RandomArgument(rng);
        const double s = Sine(x);
        const double c = Cosine(x);
        EXPECT_EQ(Bits(Sine(-x)), Bits(-s)) << x;
        EXPECT_EQ(Bits(Cosine(-x)), Bits(c)) << x;
        EXPECT_LE(std::fabs(s), 1.0);
        EXPECT_LE(std::fabs(c), 1.0);
        // The two evaluations share no arithmetic beyond the table of 2/pi.
        EXPECT_EQ(Bits(veerpic::trig_detail::SlowRounded(Function::kSine, x)), Bits(s)) << x;
        EXPECT_EQ(Bits(veerpic::trig_detail::SlowRounded(Function::kCosine, -x)), Bits(c)) << x;
    }
}

}  // namespace
