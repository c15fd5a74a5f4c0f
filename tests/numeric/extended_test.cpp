#include "numeric/extended.h"

#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using veerpic::Extended;

constexpr std::uint64_t kOne = std::uint64_t{1} << 63;
constexpr std::uint16_t kBias = 16383;

Extended Make(bool negative, int exponent, std::uint64_t significand) {
    return Extended::FromParts(negative, static_cast<std::uint16_t>(exponent), significand);
}

// 2^power as an extended value (normal range only).
Extended Pow2(int power) {
    return Make(false, kBias + power, kOne);
}

std::string Hex(const Extended& x) {
    char text[64];
    std::snprintf(text, sizeof text, "%c%04X:%016" PRIX64, x.IsNegative() ? '-' : '+',
                  x.BiasedExponent(), x.Significand());
    return text;
}

std::uint64_t Bits(double d) {
    return std::bit_cast<std::uint64_t>(d);
}

// ---------------------------------------------------------------------------
// Cases with known results; these hold on every machine.

struct BinaryCase {
    const char* name;
    char op;
    Extended a;
    Extended b;
    Extended expected;
};

Extended Apply(char op, Extended a, Extended b) {
    switch (op) {
        case '+':
            return a + b;
        case '-':
            return a - b;
        case '*':
            return a * b;
        default:
            return a / b;
    }
}

TEST(ExtendedTest, KnownResults) {
    const Extended one = Extended::FromInt64(1);
    const Extended two = Extended::FromInt64(2);
    const Extended three = Extended::FromInt64(3);
    const Extended maxFinite = Make(false, 32766, ~std::uint64_t{0});
    const Extended minNormal = Make(false, 1, kOne);
    const Extended minDenormal = Make(false, 0, 1);
    const Extended zero;
    const Extended negZero = Make(true, 0, 0);
    const Extended inf = Extended::Infinity(false);
    const Extended negInf = Extended::Infinity(true);
    const Extended oneUlpUp = Make(false, kBias, kOne + 1);  // 1 + 2^-63
    const BinaryCase cases[] = {
        {"1+2", '+', one, two, three},
        {"tie rounds to even (down)", '+', one, Pow2(-64), one},
        {"tie rounds to even (up)", '+', oneUlpUp, Pow2(-64), Make(false, kBias, kOne + 2)},
        {"above the tie rounds up", '+', one, Make(false, kBias - 64, kOne + 1), oneUlpUp},
        {"far smaller addend only rounds", '+', one, Pow2(-1000), one},
        {"far smaller subtrahend rounds to 1", '-', one, Pow2(-1000), one},
        {"just over half an ulp below 1 rounds down", '-', one, Make(false, kBias - 65, kOne | 1),
         Make(false, kBias - 1, ~std::uint64_t{0})},
        {"x - x is +0", '-', three, three, zero},
        {"-x + x is +0", '+', -three, three, zero},
        {"-0 + -0 is -0", '+', negZero, negZero, negZero},
        {"+0 - +0 is +0", '-', zero, zero, zero},
        {"-0 - +0 is -0", '-', negZero, zero, negZero},
        {"cancellation is exact", '-', oneUlpUp, one, Pow2(-63)},
        {"sum carries into next binade", '+', Make(false, kBias, ~std::uint64_t{0}), Pow2(-64),
         two},
        {"overflow on add", '+', maxFinite, Make(false, 32766 - 64, kOne), inf},
        {"largest below overflow stays", '+', maxFinite, Make(false, 32766 - 65, kOne), maxFinite},
        {"overflow on multiply", '*', maxFinite, two, inf},
        {"negative overflow", '*', maxFinite, -two, negInf},
        {"denormal product", '*', minNormal, Pow2(-1), Make(false, 0, kOne >> 1)},
        {"smallest denormal halved ties to zero", '*', minDenormal, Pow2(-1), zero},
        {"three smallest denormals halved ties to even", '*', Make(false, 0, 3), Pow2(-1),
         Make(false, 0, 2)},
        {"denormal sum becomes normal", '+', Make(false, 0, kOne - 1), minDenormal, minNormal},
        {"underflow to signed zero", '/', -minDenormal, Pow2(100), negZero},
        {"1/3", '/', one, three, Make(false, kBias - 2, 0xAAAAAAAAAAAAAAABULL)},
        {"2/3", '/', two, three, Make(false, kBias - 1, 0xAAAAAAAAAAAAAAABULL)},
        {"exact quotient", '/', Extended::FromInt64(-12), three, Extended::FromInt64(-4)},
        {"1/0 is infinity", '/', one, zero, inf},
        {"-1/+0 is -infinity", '/', -one, zero, negInf},
        {"1/-0 is -infinity", '/', one, negZero, negInf},
        {"x/inf is signed zero", '/', -one, inf, negZero},
        {"inf + x", '+', inf, -maxFinite, inf},
        {"x - inf", '-', one, inf, negInf},
        {"inf * -x", '*', inf, -two, negInf},
        {"-0 * x", '*', negZero, three, negZero},
    };
    for (const BinaryCase& c : cases) {
        const Extended got = Apply(c.op, c.a, c.b);
        EXPECT_EQ(Hex(got), Hex(c.expected)) << c.name;
    }
}

TEST(ExtendedTest, InvalidOperationsGiveTheDefaultNaN) {
    const Extended inf = Extended::Infinity(false);
    const Extended zero;
    const Extended defaultNaN = Extended::QuietNaN(true);
    const BinaryCase cases[] = {
        {"inf - inf", '-', inf, inf, defaultNaN}, {"inf + -inf", '+', inf, -inf, defaultNaN},
        {"0 * inf", '*', zero, inf, defaultNaN},  {"-inf * 0", '*', -inf, zero, defaultNaN},
        {"0 / 0", '/', zero, -zero, defaultNaN},  {"inf / inf", '/', inf, -inf, defaultNaN},
    };
    for (const BinaryCase& c : cases) {
        const Extended got = Apply(c.op, c.a, c.b);
        EXPECT_TRUE(got.IsNaN()) << c.name;
        EXPECT_EQ(Hex(got), Hex(c.expected)) << c.name;
    }
    // A NaN operand comes back quiet, with its sign and payload.
    const Extended signaling = Make(false, 32767, kOne | 0x1234);
    const Extended quieted = Make(false, 32767, kOne | (kOne >> 1) | 0x1234);
    EXPECT_EQ(Hex(signaling + Extended::FromInt64(1)), Hex(quieted));
    EXPECT_EQ(Hex(Extended::FromInt64(1) / signaling), Hex(quieted));
    EXPECT_EQ(Hex(Extended::FromInt64(1) - -signaling), Hex(-quieted));
}

TEST(ExtendedTest, Conversions) {
    EXPECT_EQ(Hex(Extended::FromInt64(0)), Hex(Extended()));
    EXPECT_EQ(Hex(Extended::FromInt64(std::numeric_limits<std::int64_t>::min())),
              Hex(Make(true, kBias + 63, kOne)));
    EXPECT_EQ(Hex(Extended::FromUint64(~std::uint64_t{0})),
              Hex(Make(false, kBias + 63, ~std::uint64_t{0})));
    EXPECT_EQ(Hex(Extended::FromInt64(-5)), Hex(Make(true, kBias + 2, 5 * (kOne >> 2))));
    EXPECT_EQ(Hex(Extended::FromDouble(-0.0)), Hex(Make(true, 0, 0)));
    EXPECT_EQ(Hex(Extended::FromDouble(0.1)), Hex(Make(false, kBias - 4, 0xCCCCCCCCCCCCD000ULL)));
    EXPECT_EQ(Hex(Extended::FromDouble(std::numeric_limits<double>::denorm_min())),
              Hex(Pow2(-1074)));
    EXPECT_EQ(Hex(Extended::FromDouble(-std::numeric_limits<double>::infinity())),
              Hex(Extended::Infinity(true)));

    struct ToDoubleCase {
        const char* name;
        Extended value;
        double expected;
    };
    const double denormMin = std::numeric_limits<double>::denorm_min();
    const double maxDouble = std::numeric_limits<double>::max();
    const ToDoubleCase toDouble[] = {
        {"exact", Extended::FromInt64(-90), -90.0},
        {"2^53+1 ties to even", Extended::FromInt64((std::int64_t{1} << 53) + 1),
         9007199254740992.0},
        {"2^53+3 ties to even (up)", Extended::FromInt64((std::int64_t{1} << 53) + 3),
         9007199254740996.0},
        {"2^-1075 ties to zero", Pow2(-1075), 0.0},
        {"just above 2^-1075 rounds up", Make(false, kBias - 1075, kOne + 1), denormMin},
        {"1.5 * 2^-1074 ties to even", Make(false, kBias - 1074, kOne | (kOne >> 1)),
         2 * denormMin},
        {"extended denormal is zero", Make(true, 0, 12345), -0.0},
        {"max double", Extended::FromDouble(maxDouble), maxDouble},
        {"half an ulp above max double overflows",
         Make(false, kBias + 1023, ~std::uint64_t{0} << 10),
         std::numeric_limits<double>::infinity()},
        {"less than half an ulp above max double",
         Make(false, kBias + 1023, (~std::uint64_t{0} << 10) - 1), maxDouble},
        {"2^1024 is infinity", Pow2(1024), std::numeric_limits<double>::infinity()},
        {"largest subnormal rounds up to smallest normal",
         Make(false, kBias - 1023, ~std::uint64_t{0}), std::numeric_limits<double>::min()},
    };
    for (const ToDoubleCase& c : toDouble) {
        EXPECT_EQ(Bits(c.value.ToDouble()), Bits(c.expected)) << c.name;
    }
    EXPECT_TRUE(std::isnan(Extended::QuietNaN(false).ToDouble()));

    struct TruncCase {
        Extended value;
        std::int64_t expected;
    };
    const TruncCase trunc[] = {
        {Extended::FromDouble(49.99999999999999), 49},
        {Extended::FromDouble(-0.000000000000006), 0},
        {Extended::FromDouble(-2.5), -2},
        {Make(false, kBias + 62, ~std::uint64_t{0}), std::numeric_limits<std::int64_t>::max()},
        {Make(true, kBias + 63, kOne), std::numeric_limits<std::int64_t>::min()},
        {Make(false, kBias + 63, kOne), std::numeric_limits<std::int64_t>::min()},  // out of range
        {Extended::QuietNaN(false), std::numeric_limits<std::int64_t>::min()},
    };
    for (const TruncCase& c : trunc) {
        EXPECT_EQ(c.value.TruncToInt64(), c.expected) << Hex(c.value);
    }
}

TEST(ExtendedTest, OneOver180IsTheNearestExtended) {
    // 1/180 = 2^-8 * (2^71 / 180); 0xB60B60B60B60B60B is 2^71 / 180 rounded to nearest.
    const Extended k = Extended::FromInt64(1) / Extended::FromInt64(180);
    EXPECT_EQ(Hex(k), Hex(Make(false, kBias - 8, 0xB60B60B60B60B60BULL)));
}

// ---------------------------------------------------------------------------
// Bit-for-bit agreement with the x87 unit, whose long double is this format
// with 64-bit precision and rounding to nearest.
#if defined(__x86_64__) || defined(__i386__)

#ifdef NDEBUG
constexpr int kOperationsPerCheck = 1500000;
#else
constexpr int kOperationsPerCheck = 300000;
#endif

long double ToLong(const Extended& x) {
    unsigned char bytes[sizeof(long double)] = {};
    const std::uint64_t sig = x.Significand();
    const auto top = static_cast<std::uint16_t>(x.BiasedExponent() | (x.IsNegative() ? 0x8000 : 0));
    std::memcpy(bytes, &sig, 8);
    std::memcpy(bytes + 8, &top, 2);
    long double value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

Extended FromLong(long double value) {
    unsigned char bytes[sizeof(long double)];
    std::memcpy(bytes, &value, sizeof value);
    std::uint64_t sig;
    std::uint16_t top;
    std::memcpy(&sig, bytes, 8);
    std::memcpy(&top, bytes + 8, 2);
    return Extended::FromParts((top & 0x8000) != 0, static_cast<std::uint16_t>(top & 0x7FFF), sig);
}

// Operands drawn from the regions where rounding is hard: random encodings,
// both ends of the exponent range, denormals, short significands (exact ties
// in products and quotients), all-ones significands and the special values.
class OperandSource {
  public:
    explicit OperandSource(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t Bits64() { return rng_(); }
    int Uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    std::uint64_t Significand() {
        switch (Uniform(0, 7)) {
            case 0:
                return kOne;
            case 1:
                return ~std::uint64_t{0};
            case 2:  // short significand: few significant bits
                return kOne | ((Bits64() >> Uniform(1, 63)) << Uniform(0, 40) & ~kOne) |
                       (Bits64() << Uniform(20, 63));
            case 3:  // a run of ones or zeros after the integer bit
                return Uniform(0, 1) ? kOne | (Bits64() >> Uniform(40, 63))
                                     : ~std::uint64_t{0} ^ (Bits64() >> Uniform(40, 63));
            default:
                return kOne | Bits64();
        }
    }

    // An exponent field from 0 to 32766 (specials come separately).
    int Exponent() {
        switch (Uniform(0, 5)) {
            case 0:
                return Uniform(0, 32766);
            case 1:
                return Uniform(32700, 32766);
            case 2:
                return Uniform(0, 80);
            default:
                return Uniform(kBias - 80, kBias + 80);
        }
    }

    Extended Finite(int exponent) {
        const bool negative = (Bits64() & 1) != 0;
        exponent = exponent < 0 ? 0 : (exponent > 32766 ? 32766 : exponent);
        if (exponent == 0) {
            // Denormals: no integer bit, any number of leading zeros.
            return Make(negative, 0, (Significand() & ~kOne) >> Uniform(0, 63));
        }
        return Make(negative, exponent, Significand());
    }

    Extended Special() {
        const bool negative = (Bits64() & 1) != 0;
        switch (Uniform(0, 7)) {
            case 0:
                return Make(negative, 0, 0);
            case 7:
                return Extended::QuietNaN(negative);
            case 1:
                return Extended::Infinity(negative);
            case 2:  // quiet NaN with a payload
                return Make(negative, 32767, kOne | (kOne >> 1) | (Bits64() >> Uniform(2, 63)));
            case 3:  // signaling NaN
                return Make(negative, 32767, kOne | ((Bits64() >> 2) | 1));
            case 4:
                return Make(negative, 32766, ~std::uint64_t{0});
            case 5:
                return Make(negative, 1, kOne);
            default:
                return Make(negative, 0, 1);
        }
    }

    Extended Any() {
        if (Uniform(0, 49) == 0) {
            return Special();
        }
        return Finite(Exponent());
    }

    // A second operand whose exponent is tied to the first one's, so that sums
    // cancel or barely overlap and products and quotients land near the ends of
    // the range or exactly in between.
    Extended Partner(char op, const Extended& a) {
        const int ea = a.BiasedExponent();
        switch (Uniform(0, 5)) {
            case 0:
                return Any();
            case 1:
                if (op == '+' || op == '-') {
                    return Finite(ea + Uniform(-2, 2));  // cancellation
                }
                return Finite(2 * kBias - ea + Uniform(-70, 70));
            case 2:
                if (op == '+' || op == '-') {
                    return Finite(ea - Uniform(60, 70));  // the rounding boundary
                }
                if (op == '*') {
                    return Finite(kBias - ea + Uniform(-70, 5));  // denormal products
                }
                return Finite(ea - kBias + Uniform(-5, 70));  // denormal quotients
            case 3:
                if (op == '+' || op == '-') {
                    return Finite(ea - Uniform(0, 20000));  // huge differences
                }
                if (op == '*') {
                    return Finite(32766 + kBias - ea + Uniform(-3, 3));  // overflow boundary
                }
                return Finite(ea - 32766 + kBias + Uniform(-3, 3));
            case 4: {
                // Same significand pattern, or its neighbour: exact results and ties.
                const std::uint64_t s =
                    a.Significand() + static_cast<std::uint64_t>(Uniform(-1, 1));
                return Make((Bits64() & 1) != 0, Exponent(), s | kOne);
            }
            default:
                return Finite(Exponent());
        }
    }

  private:
    std::mt19937_64 rng_;
};

// Checks `op` on operand pairs: related ones, or with `specialsOnly`, pairs of
// zeros, infinities, NaNs and the extremes of the range.
void CheckOperator(char op, std::uint64_t seed, bool specialsOnly = false) {
    OperandSource source(seed);
    int mismatches = 0;
    const int count = specialsOnly ? kOperationsPerCheck / 10 : kOperationsPerCheck;
    for (int i = 0; i < count; ++i) {
        const Extended a = specialsOnly ? source.Special() : source.Any();
        const Extended b = specialsOnly ? source.Special() : source.Partner(op, a);
        volatile long double la = ToLong(a);
        volatile long double lb = ToLong(b);
        long double lr;
        switch (op) {
            case '+':
                lr = la + lb;
                break;
            case '-':
                lr = la - lb;
                break;
            case '*':
                lr = la * lb;
                break;
            default:
                lr = la / lb;
                break;
        }
        const Extended want = FromLong(lr);
        const Extended got = Apply(op, a, b);
        if (got != want) {
            if (++mismatches <= 10) {
                ADD_FAILURE() << Hex(a) << ' ' << op << ' ' << Hex(b) << ": got " << Hex(got)
                              << ", the x87 gives " << Hex(want);
            }
        }
    }
    EXPECT_EQ(mismatches, 0) << "of " << count << " operations";
}

TEST(ExtendedX87Test, Add) {
    CheckOperator('+', 1);
}
TEST(ExtendedX87Test, Subtract) {
    CheckOperator('-', 2);
}
TEST(ExtendedX87Test, Multiply) {
    CheckOperator('*', 3);
}
TEST(ExtendedX87Test, Divide) {
    CheckOperator('/', 4);
}
TEST(ExtendedX87Test, SpecialOperands) {
    CheckOperator('+', 11, true);
    CheckOperator('-', 12, true);
    CheckOperator('*', 13, true);
    CheckOperator('/', 14, true);
}

TEST(ExtendedX87Test, Conversions) {
    OperandSource source(5);
    int mismatches = 0;
    auto report = [&mismatches](const std::string& what) {
        if (++mismatches <= 10) {
            ADD_FAILURE() << what;
        }
    };
    for (int i = 0; i < kOperationsPerCheck; ++i) {
        // To double: around the double range's ends and its ties.
        int exponent;
        switch (source.Uniform(0, 3)) {
            case 0:
                exponent = kBias + source.Uniform(-1090, -1015);
                break;
            case 1:
                exponent = kBias + source.Uniform(1015, 1030);
                break;
            case 2:
                exponent = source.Exponent();
                break;
            default:
                exponent = kBias + source.Uniform(-1100, 1100);
                break;
        }
        Extended x = source.Uniform(0, 99) == 0 ? source.Special() : source.Finite(exponent);
        if (source.Uniform(0, 3) == 0) {
            // A significand that ends in an exact half of the last double place.
            const int cut = source.Uniform(10, 63);
            const std::uint64_t s =
                (x.Significand() & (~std::uint64_t{0} << cut)) | (std::uint64_t{1} << (cut - 1));
            x = Make(x.IsNegative(), x.BiasedExponent(), x.BiasedExponent() == 0 ? s & ~kOne : s);
        }
        volatile long double lx = ToLong(x);
        const double want = static_cast<double>(lx);
        const double got = x.ToDouble();
        if (Bits(got) != Bits(want)) {
            report("ToDouble " + Hex(x));
        }

        // From double, int64 and uint64.
        const std::uint64_t bits =
            source.Bits64() >> (source.Uniform(0, 1) ? 0 : source.Uniform(0, 63));
        const double d = std::bit_cast<double>(bits | (source.Uniform(0, 1) ? kOne : 0));
        volatile double vd = d;
        if (FromLong(static_cast<long double>(vd)) != Extended::FromDouble(d)) {
            report("FromDouble " + std::to_string(bits));
        }
        const auto i64 = static_cast<std::int64_t>(bits | (source.Uniform(0, 1) ? kOne : 0));
        volatile std::int64_t vi = i64;
        if (FromLong(static_cast<long double>(vi)) != Extended::FromInt64(i64)) {
            report("FromInt64 " + std::to_string(i64));
        }
        volatile std::uint64_t vu = bits | (source.Uniform(0, 1) ? kOne : 0);
        const std::uint64_t u64 = vu;
        if (FromLong(static_cast<long double>(vu)) != Extended::FromUint64(u64)) {
            report("FromUint64 " + std::to_string(u64));
        }

        // Truncation, inside the int64 range.
        const Extended t = source.Finite(kBias + source.Uniform(-3, 62));
        volatile long double lt = ToLong(t);
        if (static_cast<std::int64_t>(lt) != t.TruncToInt64()) {
            report("TruncToInt64 " + Hex(t));
        }
    }
    EXPECT_EQ(mismatches, 0) << "of " << kOperationsPerCheck << " rounds";
}

TEST(ExtendedX87Test, OneOver180) {
    volatile long double one = 1.0L;
    volatile long double divisor = 180.0L;
    const long double k = one / divisor;
    EXPECT_EQ(Hex(Extended::FromInt64(1) / Extended::FromInt64(180)), Hex(FromLong(k)));
}

#endif

}  // namespace
