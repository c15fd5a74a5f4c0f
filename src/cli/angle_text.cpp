#include "cli/angle_text.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace veerpic {

namespace {

// Exponents above this are out of the extended range in either direction.
constexpr unsigned kMaxDecimalExponent = 4932;
// The significant digits kept: 19 decimal digits always fit in 64 bits.
constexpr int kMaxSignificantDigits = 19;

constexpr int kExtendedBias = 16383;

bool IsSpace(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}

bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

double SignedZero(bool negative) {
    return negative ? -0.0 : 0.0;
}

double SignedInfinity(bool negative) {
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
}

// Narrows a non-negative extended magnitude to a double. Beyond the usual
// rounding to nearest: from 2^1023 up the value is truncated, so that only
// magnitudes of 2^1024 and more become infinity, and a magnitude below the
// smallest subnormal double is zero.
double NarrowMagnitude(const Extended& magnitude) {
    if (magnitude.IsInfinite()) {
        return std::numeric_limits<double>::infinity();
    }
    if (magnitude.IsZero() || magnitude.BiasedExponent() == 0) {
        return 0.0;  // zero, or an extended denormal: far below 2^-1074
    }
    const int power = magnitude.BiasedExponent() - kExtendedBias;
    if (power >= 1024) {
        return std::numeric_limits<double>::infinity();
    }
    if (power == 1023) {
        // The top 53 bits of the significand, the rest dropped. The stored
        // exponent field of 2^1023 is 2046; the integer bit of the significand
        // adds one to (2046 - 1) in the field.
        const std::uint64_t top53 = magnitude.Significand() >> 11;
        return std::bit_cast<double>((std::uint64_t{2045} << 52) + top53);
    }
    if (power < -1074) {
        return 0.0;
    }
    return magnitude.ToDouble();
}

}  // namespace

Extended PowerOfTenExtended(unsigned magnitude) {
    if (magnitude > kMaxDecimalExponent) {
        return Extended::Infinity(false);
    }
    static constexpr std::uint64_t kSmall[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
    // The extended values nearest to 10^(2^k) for k = 3..12 (exponent field,
    // significand); 10^8 and 10^16 are exact.
    static constexpr struct {
        std::uint16_t exponent;
        std::uint64_t significand;
    } kFactors[10] = {
        {0x4019, 0xBEBC200000000000ULL},  // 1e8
        {0x4034, 0x8E1BC9BF04000000ULL},  // 1e16
        {0x4069, 0x9DC5ADA82B70B59EULL},  // 1e32
        {0x40D3, 0xC2781F49FFCFA6D5ULL},  // 1e64
        {0x41A8, 0x93BA47C980E98CE0ULL},  // 1e128
        {0x4351, 0xAA7EEBFB9DF9DE8EULL},  // 1e256
        {0x46A3, 0xE319A0AEA60E91C7ULL},  // 1e512
        {0x4D48, 0xC976758681750C17ULL},  // 1e1024
        {0x5A92, 0x9E8B3B5DC53D5DE5ULL},  // 1e2048
        {0x7525, 0xC46052028A20979BULL},  // 1e4096
    };
    Extended power = Extended::FromUint64(kSmall[magnitude % 8]);
    for (int k = 3; k <= 12; ++k) {
        if ((magnitude >> k) & 1u) {
            const auto& f = kFactors[k - 3];
            power = power * Extended::FromParts(false, f.exponent, f.significand);
        }
    }
    return power;
}

namespace {

using Cursor = const unsigned char*;

// The digits of a mantissa: N keeps the first 19 significant digits;
// `pointShift` is the power of ten that places N's last digit: minus one for
// each digit read after the point up to N's end, plus one for each integer
// digit dropped.
struct Mantissa {
    std::uint64_t n = 0;
    bool anyDigit = false;
    std::int64_t pointShift = 0;
};

Mantissa ReadMantissa(Cursor& p) {
    Mantissa m;
    int significantDigits = 0;
    bool pointRead = false;
    for (;; ++p) {
        if (IsDigit(*p)) {
            m.anyDigit = true;
            const auto digit = static_cast<unsigned>(*p - '0');
            if (significantDigits == 0 && digit == 0) {
                m.pointShift -= pointRead ? 1 : 0;  // leading zero
            } else if (significantDigits < kMaxSignificantDigits) {
                m.n = m.n * 10 + digit;
                ++significantDigits;
                m.pointShift -= pointRead ? 1 : 0;
            } else {
                m.pointShift += pointRead ? 0 : 1;  // dropped, counts as a zero
            }
        } else if (*p == '.' && !pointRead) {
            pointRead = true;
        } else {
            return m;
        }
    }
}

// The exponent after a mantissa: its digits may be absent; its value is only
// tracked up to the first value beyond the extended range.
struct Exponent {
    unsigned value = 0;
    bool negative = false;
};

Exponent ReadExponent(Cursor& p) {
    Exponent e;
    if (*p != 'e' && *p != 'E') {
        return e;
    }
    ++p;
    if (*p == '+' || *p == '-') {
        e.negative = *p == '-';
        ++p;
    }
    for (; IsDigit(*p); ++p) {
        if (e.value <= kMaxDecimalExponent) {
            e.value = e.value * 10 + static_cast<unsigned>(*p - '0');
        }
    }
    return e;
}

// N x 10^power in extended precision, narrowed to a double magnitude.
double ScaledMagnitude(std::uint64_t n, std::int64_t power) {
    // A power beyond the extended range makes the scale infinite; clamp it
    // to something that still says so.
    const auto scaleOf = [](std::int64_t magnitude) {
        return PowerOfTenExtended(magnitude > kMaxDecimalExponent + 1
                                      ? kMaxDecimalExponent + 1
                                      : static_cast<unsigned>(magnitude));
    };
    Extended value = Extended::FromUint64(n);
    if (power > 0) {
        value = value * scaleOf(power);
    } else if (power < 0) {
        value = value / scaleOf(-power);
    }
    return NarrowMagnitude(value);
}

}  // namespace

double ParseAngleText(const char* text) {
    // Bytes of 128 and above stay out of every class below, so they end the
    // number wherever they stand.
    Cursor p = reinterpret_cast<Cursor>(text);
    while (IsSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
        // Only after an explicit sign, and only in upper case.
        if (p[0] == 'I' && p[1] == 'N' && p[2] == 'F') {
            return SignedInfinity(negative);
        }
        if (p[0] == 'N' && p[1] == 'A' && p[2] == 'N') {
            const double nan = std::numeric_limits<double>::quiet_NaN();
            return negative ? -nan : nan;
        }
    }
    const Mantissa m = ReadMantissa(p);
    if (!m.anyDigit) {
        return SignedZero(negative);
    }
    const Exponent e = ReadExponent(p);
    if (m.n == 0) {
        return SignedZero(negative);
    }
    if (e.value > kMaxDecimalExponent) {
        return e.negative ? SignedZero(negative) : SignedInfinity(negative);
    }
    const std::int64_t power =
        (e.negative ? -static_cast<std::int64_t>(e.value) : std::int64_t{e.value}) + m.pointShift;
    const double magnitude = ScaledMagnitude(m.n, power);
    return negative ? -magnitude : magnitude;
}

}  // namespace veerpic
