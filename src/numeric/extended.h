// The 80-bit extended floating-point format (sign, 15-bit exponent, 64-bit
// significand with an explicit integer bit), with correctly rounded
// arithmetic, round to nearest, ties to even. Results are the same on every
// compiler and processor: nothing here uses long double.
//
// Results match an x87 unit set to 64-bit precision and rounding to nearest:
// overflow gives infinity, tiny results become denormals (exponent field 0)
// or zero, x - x gives +0. Invalid operations (inf - inf, 0 * inf, 0 / 0,
// inf / inf) and unsupported encodings (an exponent field from 1 to 32767
// without the integer bit) give the default NaN, QuietNaN(true). A NaN
// operand comes back quiet; of two NaNs, a quiet one wins over a signaling
// one, then the larger significand, then the positive sign.
#pragma once

#include <cstdint>

namespace veerpic {

class Extended {
  public:
    // +0.
    constexpr Extended() = default;

    // Exact conversions; a signaling NaN comes back quiet.
    static Extended FromDouble(double value);
    static Extended FromInt64(std::int64_t value);
    static Extended FromUint64(std::uint64_t value);
    // The raw fields: `exponent` biased by 16383, `significand` with its integer bit.
    static constexpr Extended FromParts(bool negative, std::uint16_t exponent,
                                        std::uint64_t significand) {
        Extended e;
        e.negative_ = negative;
        e.exponent_ = exponent;
        e.significand_ = significand;
        return e;
    }
    static Extended Infinity(bool negative);
    static Extended QuietNaN(bool negative);

    friend Extended operator+(Extended a, Extended b);
    friend Extended operator-(Extended a, Extended b);
    friend Extended operator*(Extended a, Extended b);
    friend Extended operator/(Extended a, Extended b);
    Extended operator-() const;
    Extended Abs() const;

    // Rounds to the nearest double, ties to even; magnitudes beyond the double
    // range become infinity, small ones become subnormal or zero. A NaN keeps
    // the top of its payload and becomes quiet.
    double ToDouble() const;
    // Truncates toward zero. The value must be finite and inside the int64
    // range; otherwise the result is INT64_MIN, the x87's integer indefinite.
    std::int64_t TruncToInt64() const;

    bool IsNaN() const;
    bool IsInfinite() const;
    bool IsZero() const;
    bool IsNegative() const { return negative_; }
    std::uint16_t BiasedExponent() const { return exponent_; }
    std::uint64_t Significand() const { return significand_; }

    friend bool operator==(const Extended& a, const Extended& b) = default;

  private:
    bool negative_ = false;
    std::uint16_t exponent_ = 0;     // 0..32767, bias 16383
    std::uint64_t significand_ = 0;  // bit 63 is the integer bit
};

}  // namespace veerpic
