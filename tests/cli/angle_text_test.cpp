#include "cli/angle_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using veerpic::Extended;
using veerpic::ParseAngleText;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();

struct Case {
    std::string text;
    double expected;
};

std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 32 || byte >= 127) {
            static const char kHex[] = "0123456789ABCDEF";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out.size() > 60 ? out.substr(0, 60) + "...(" + std::to_string(text.size()) + " bytes)"
                           : out;
}

// Bit for bit, so the sign of zero counts; NaNs by class and sign.
void ExpectReads(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const double got = ParseAngleText(c.text.c_str());
        if (std::isnan(c.expected)) {
            EXPECT_TRUE(std::isnan(got)) << '"' << Printable(c.text) << "\" gave " << got;
            EXPECT_EQ(std::signbit(got), std::signbit(c.expected)) << Printable(c.text);
        } else {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got), std::bit_cast<std::uint64_t>(c.expected))
                << '"' << Printable(c.text) << "\" gave " << got << ", expected " << c.expected;
        }
    }
}

TEST(ParseAngleTextTest, PlainNumbers) {
    ExpectReads({
        {"90", 90.0},
        {"-90", -90.0},
        {"  +45.5", 45.5},
        {"\t7", 7.0},
        {"\n\v\f\r 3", 3.0},
        {"360", 360.0},
        {"360.0", 360.0},
        {"3.6e2", 360.0},
        {"0.36E3", 360.0},
        {"720", 720.0},
        {".5", 0.5},
        {"5.", 5.0},
        {"-.25", -0.25},
        {"1e3", 1000.0},
        {"2.5E-1", 0.25},
        {"0.1", 0.1},
        {"1e-5", 1e-5},
        {"123.45", 123.45},
        {"0000000000000000000000000000090", 90.0},
        {"0.000000000000000000000000000000000000000000001", 1e-45},
        {"-0", -0.0},
        {"-0.000", -0.0},
        {"0e5000", 0.0},
        {"-0e5000", -0.0},
        {"0.0e-99999999999999999999", 0.0},
    });
}

TEST(ParseAngleTextTest, TextWithoutANumberIsZero) {
    ExpectReads({
        {"", 0.0},
        {"   ", 0.0},
        {"abc", 0.0},
        {"INF", 0.0},
        {"NAN", 0.0},
        {"-", -0.0},
        {"+", 0.0},
        {"- 5", -0.0},
        {"+-5", 0.0},
        {"-+5", -0.0},
        {"-x", -0.0},
        {"-IN", -0.0},
        {"+IN", 0.0},
        {"+inf", 0.0},
        {"-nan", -0.0},
        {"+Inf", 0.0},
        {".", 0.0},
        {"-.", -0.0},
        {"e5", 0.0},
        {"-e5", -0.0},
        {"\x1f"
         "5",
         0.0},  // not white space
        {"\xa0"
         "5",
         0.0},                  // a byte above 127 is never white space
        {"\xef\xbc\x95", 0.0},  // a full-width digit
        {"-\xe2\x88\x92"
         "5",
         -0.0},
    });
}

TEST(ParseAngleTextTest, InfinityAndNaNOnlyAfterASign) {
    ExpectReads({
        {"+INF", kInf},
        {"-INF", -kInf},
        {"+INFINITY", kInf},
        {"  -INFx", -kInf},
        {"+NAN", kNaN},
        {"-NAN", -kNaN},
        {"+NAN(123)", kNaN},
    });
}

TEST(ParseAngleTextTest, TheNumberEndsAtTheFirstByteThatDoesNotContinueIt) {
    ExpectReads({
        {"45deg", 45.0},
        {"30deg", 30.0},
        {"1,5", 1.0},
        {"0x1A", 0.0},
        {"1e5.5", 100000.0},
        {"1.2.3", 1.2},
        {"12 34", 12.0},
        {"1e", 1.0},
        {"5e+", 5.0},
        {"5e-", 5.0},
        {"5E-x", 5.0},
        {"5e 3", 5.0},
        {"7e+1e2", 70.0},
        {"5\xc2\xb0", 5.0},  // followed by a degree sign in UTF-8
        {"2\xb9"
         "5",
         2.0},
        {"1e\x80"
         "5",
         1.0},
        {"-3.5\t", -3.5},
    });
}

TEST(ParseAngleTextTest, OutOfRangeMagnitudes) {
    ExpectReads({
        {"1e400", kInf},
        {"1e5000", kInf},
        {"-1e400", -kInf},
        {"1e-400", 0.0},
        {"1e-5000", 0.0},
        {"-1e-400", -0.0},
        {"1e4932", kInf},
        {"1e-4932", 0.0},
        {"1e99999999999999999999999999", kInf},
        {"-1e-99999999999999999999999999", -0.0},
        {"1e0000000000000000000000000000000001", 10.0},
        // An exponent beyond the extended range decides the result on its own,
        // whatever the digits of the mantissa would make of it.
        {"0.0001e4935", kInf},
        {"10000e-4935", 0.0},
    });
    // 4932 is the last exponent that counts with the digits: 4933 decides
    // alone even where the point's place would bring the value back to 0.5.
    const std::string zeros(4933, '0');
    ExpectReads({
        {"0." + zeros + "1e4933", kInf},
        {"1" + zeros + "e-4933", 0.0},
        {"0." + zeros.substr(1) + "5e4932", 0.5},
    });
}

TEST(ParseAngleTextTest, NarrowingToDouble) {
    ExpectReads({
        {"1.7976931348623158e308", kMax},
        // Just below the largest double: truncated to the double below it.
        {"1.7976931348623157e308", 1.7976931348623155e308},
        // Between the largest double and 2^1024 the value is truncated,
        // where rounding to nearest would give infinity.
        {"1.7976931348623159e308", kMax},
        {"-1.79769313486231590e308", -kMax},
        {"1.79769313486231591e308", kInf},  // just above 2^1024
        // From 2^1023 up, truncation; below it, rounding to nearest.
        {"9e307", 8.999999999999999e307},
        {"-1.5e308", -1.4999999999999998e308},
        {"8.9e307", 8.9e307},
        // Below 2^-1074 the result is zero, even where rounding would give
        // the smallest subnormal.
        {"4.9406564584124655e-324", kDenormMin},
        {"4.9406564584124654e-324", 0.0},  // just below 2^-1074
        {"5e-324", kDenormMin},
        {"4.9e-324", 0.0},
        {"3e-324", 0.0},
        {"-3e-324", -0.0},
        {"2.4703282292062328e-324", 0.0},
        {"7.4e-323", 15 * kDenormMin},
        {"2.2250738585072011e-308", 2.2250738585072011e-308},  // largest subnormal
        {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
    });
}

TEST(ParseAngleTextTest, LongDigitStrings) {
    const std::string zeros4000(4000, '0');
    ExpectReads({
        // Only the first 19 significant digits count; 2^53 + 1 then ties to even.
        {"9007199254740993.0000000001", 9007199254740992.0},
        {"9007199254740993", 9007199254740992.0},
        {"9007199254740995", 9007199254740996.0},
        {"1234567890123456789999", 1234567890123456789000.0},
        // Dropped integer digits only move the point: 2^53 + 1 again, where
        // the full value, a little above it, would round up to 2^53 + 2.
        {"9007199254740993000001e-6", 9007199254740992.0},
        {"1" + zeros4000 + "e-4000", 1.0},
        {"1" + zeros4000 + "e-3990", 1e10},
        {"1" + zeros4000 + "e4000", kInf},
        {"0." + zeros4000 + "1e4001", 1.0},
        {"0." + zeros4000 + "1", 0.0},
        {"45." + zeros4000 + "1", 45.0},
        {"-" + zeros4000 + "12.5" + zeros4000 + "deg", -12.5},
        {"1" + std::string(300, '0') + ".5", 1e300},
        {"3." + std::string(500, '3'), 3.3333333333333335},
    });
}

// Seventeen significant digits identify a double, and lie far enough from the
// midpoints between doubles that the extended evaluation reads them back
// exactly, in the whole range where the narrowing rounds to nearest.
TEST(ParseAngleTextTest, ReadsPrintedDoublesBack) {
    std::mt19937_64 rng(7);
    int mismatches = 0;
    for (int i = 0; i < 20000; ++i) {
        std::uint64_t bits = rng();
        const std::uint64_t field = (bits >> 52) & 0x7FF;
        if (field >= 2046) {
            bits -= std::uint64_t{2} << 52;  // keep below 2^1023
        }
        const double value = std::bit_cast<double>(bits);
        char text[64];
        std::snprintf(text, sizeof text, i % 2 == 0 ? "%.17g" : "%.16e", value);
        const double got = ParseAngleText(text);
        if (std::bit_cast<std::uint64_t>(got) != bits && ++mismatches <= 10) {
            ADD_FAILURE() << text << " gave " << got;
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// The nearest 64-bit significand of a large exact integer (little-endian
// 32-bit words), as (biased exponent, significand), rounding ties to even.
struct Rounded {
    int exponent;
    std::uint64_t significand;
};

Rounded RoundToExtended(std::vector<std::uint32_t> words) {
    while (!words.empty() && words.back() == 0) {
        words.pop_back();
    }
    const int topWordBits = 32 - std::countl_zero(words.back());
    const int bits = static_cast<int>(words.size() - 1) * 32 + topWordBits;
    auto bitAt = [&words](int i) { return i < 0 ? 0u : (words[i / 32] >> (i % 32)) & 1u; };
    std::uint64_t significand = 0;
    for (int i = bits - 1; i >= bits - 64; --i) {
        significand = (significand << 1) | bitAt(i);
    }
    const bool half = bitAt(bits - 65) != 0;
    bool below = false;
    for (int i = bits - 66; i >= 0 && !below; --i) {
        below = bitAt(i) != 0;
    }
    int exponent = 16383 + bits - 1;
    if (half && (below || (significand & 1) != 0)) {
        if (++significand == 0) {
            significand = std::uint64_t{1} << 63;
            ++exponent;
        }
    }
    return {exponent, significand};
}

TEST(PowerOfTenExtendedTest, FactorsAreTheNearestExtendedValues) {
    std::vector<std::uint32_t> power{1};  // 10^n, exact
    for (unsigned n = 1; n <= 4096; ++n) {
        std::uint64_t carry = 0;
        for (std::uint32_t& w : power) {
            const std::uint64_t v = std::uint64_t{w} * 10 + carry;
            w = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
        if (carry != 0) {
            power.push_back(static_cast<std::uint32_t>(carry));
        }
        // Every power of two from 8 up, and all small ones, which are exact.
        if (n <= 27 || (n & (n - 1)) == 0) {
            const Rounded want = RoundToExtended(power);
            const Extended got = veerpic::PowerOfTenExtended(n);
            EXPECT_EQ(got.BiasedExponent(), want.exponent) << "10^" << n;
            EXPECT_EQ(got.Significand(), want.significand) << "10^" << n;
            EXPECT_FALSE(got.IsNegative());
        }
    }
}

TEST(PowerOfTenExtendedTest, RangeEnds) {
    EXPECT_EQ(veerpic::PowerOfTenExtended(0), Extended::FromInt64(1));
    const Extended largest = veerpic::PowerOfTenExtended(4932);
    EXPECT_FALSE(largest.IsInfinite());
    EXPECT_EQ(largest.BiasedExponent(), 32766);  // 10^4932 lies between 2^16383 and 2^16384
    EXPECT_TRUE(veerpic::PowerOfTenExtended(4933).IsInfinite());
    EXPECT_TRUE(veerpic::PowerOfTenExtended(100000).IsInfinite());
}

}  // namespace
