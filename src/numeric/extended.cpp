#include "numeric/extended.h"

#include <bit>
#include <utility>

namespace veerpic {

namespace {

constexpr int kBias = 16383;
constexpr std::uint16_t kMaxExponent = 32767;  // infinities and NaNs
constexpr std::uint64_t kIntegerBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kQuietBit = std::uint64_t{1} << 62;

// A finite non-zero value as sig * 2^(exp - kBias - 63) with bit 63 of `sig`
// set. `exp` is the biased exponent and drops below 1 for values that the
// format holds as denormals.
struct Unpacked {
    bool negative;
    int exp;
    std::uint64_t sig;
};

enum class Kind { kZero, kFinite, kInfinity, kNaN, kInvalid };

Kind Classify(const Extended& x) {
    const std::uint16_t e = x.BiasedExponent();
    const std::uint64_t s = x.Significand();
    if (e == kMaxExponent) {
        if ((s & kIntegerBit) == 0) {
            return Kind::kInvalid;  // pseudo-infinity or pseudo-NaN
        }
        return s == kIntegerBit ? Kind::kInfinity : Kind::kNaN;
    }
    if (e == 0) {
        return s == 0 ? Kind::kZero : Kind::kFinite;  // denormal or pseudo-denormal
    }
    return (s & kIntegerBit) != 0 ? Kind::kFinite : Kind::kInvalid;  // unnormal
}

Unpacked Unpack(const Extended& x) {
    // Exponent field 0 scales like field 1, with no integer bit implied.
    int exp = x.BiasedExponent() == 0 ? 1 : x.BiasedExponent();
    std::uint64_t sig = x.Significand();
    const int shift = std::countl_zero(sig);
    sig <<= shift;
    exp -= shift;
    return {x.IsNegative(), exp, sig};
}

Extended DefaultNaN() {
    return Extended::QuietNaN(true);
}

Extended Quiet(const Extended& x) {
    return Extended::FromParts(x.IsNegative(), x.BiasedExponent(), x.Significand() | kQuietBit);
}

// The NaN result of an operation with at least one NaN operand: a single NaN
// comes back quiet; of two, the one with the larger significand, where a quiet
// NaN wins over a signaling one.
Extended PropagateNaN(const Extended& a, const Extended& b) {
    const bool aNaN = Classify(a) == Kind::kNaN;
    const bool bNaN = Classify(b) == Kind::kNaN;
    if (aNaN && bNaN) {
        const bool aQuiet = (a.Significand() & kQuietBit) != 0;
        const bool bQuiet = (b.Significand() & kQuietBit) != 0;
        if (aQuiet != bQuiet) {
            return aQuiet ? a : b;
        }
        if (a.Significand() != b.Significand()) {
            return Quiet(a.Significand() > b.Significand() ? a : b);
        }
        return Quiet(a.IsNegative() ? b : a);
    }
    return Quiet(aNaN ? a : b);
}

// Rounds (hi:lo) * 2^(exp - kBias - 127) to the format, to nearest, ties to
// even, with denormal results and overflow to infinity. (hi:lo) is non-zero;
// its lowest bit may carry the sticky information of bits already dropped.
Extended RoundPack(bool negative, int exp, std::uint64_t hi, std::uint64_t lo) {
    if (hi == 0) {
        hi = lo;
        lo = 0;
        exp -= 64;
    }
    const int lead = std::countl_zero(hi);
    if (lead != 0) {
        hi = (hi << lead) | (lo >> (64 - lead));
        lo <<= lead;
        exp -= lead;
    }
    if (exp < 1) {
        // Below the normal range: shift to the denormal scale, keeping what
        // falls off as a sticky bit.
        const int shift = 1 - exp;
        if (shift >= 128) {
            lo = (hi | lo) != 0 ? 1 : 0;
            hi = 0;
        } else if (shift >= 64) {
            const std::uint64_t lost =
                (shift == 64 ? 0 : (hi << (128 - shift))) | lo;  // bits below the new lo
            lo = shift == 64 ? hi : (hi >> (shift - 64));
            lo |= lost != 0 ? 1 : 0;
            hi = 0;
        } else {
            const std::uint64_t lost = lo << (64 - shift);
            lo = (lo >> shift) | (hi << (64 - shift));
            hi >>= shift;
            lo |= lost != 0 ? 1 : 0;
        }
        exp = 1;
    }
    constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
    if (lo > kHalf || (lo == kHalf && (hi & 1) != 0)) {
        ++hi;
        if (hi == 0) {
            hi = kIntegerBit;
            ++exp;
        }
    }
    if (exp >= kMaxExponent) {
        return Extended::Infinity(negative);
    }
    if ((hi & kIntegerBit) == 0) {
        exp = 0;  // denormal, or zero after rounding
    }
    return Extended::FromParts(negative, static_cast<std::uint16_t>(exp), hi);
}

Extended RoundPack(const Unpacked& u) {
    return RoundPack(u.negative, u.exp, u.sig, 0);
}

// The full 128-bit product of two 64-bit integers.
void Multiply64(std::uint64_t a, std::uint64_t b, std::uint64_t& hi, std::uint64_t& lo) {
    constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
    const std::uint64_t a0 = a & kLow32;
    const std::uint64_t a1 = a >> 32;
    const std::uint64_t b0 = b & kLow32;
    const std::uint64_t b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0;
    const std::uint64_t p01 = a0 * b1;
    const std::uint64_t p10 = a1 * b0;
    const std::uint64_t p11 = a1 * b1;
    const std::uint64_t mid = (p00 >> 32) + (p01 & kLow32) + (p10 & kLow32);
    lo = (mid << 32) | (p00 & kLow32);
    hi = p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32);
}

Extended Add(const Extended& a, const Extended& b, bool negateB) {
    const Kind ka = Classify(a);
    const Kind kb = Classify(b);
    if (ka == Kind::kNaN || kb == Kind::kNaN) {
        return PropagateNaN(a, b);
    }
    if (ka == Kind::kInvalid || kb == Kind::kInvalid) {
        return DefaultNaN();
    }
    const bool bNegative = b.IsNegative() != negateB;
    if (ka == Kind::kInfinity || kb == Kind::kInfinity) {
        if (ka == Kind::kInfinity && kb == Kind::kInfinity && a.IsNegative() != bNegative) {
            return DefaultNaN();
        }
        return ka == Kind::kInfinity ? a : Extended::Infinity(bNegative);
    }
    if (ka == Kind::kZero && kb == Kind::kZero) {
        // Only two negative zeros sum to a negative zero.
        return Extended::FromParts(a.IsNegative() && bNegative, 0, 0);
    }
    if (kb == Kind::kZero) {
        return RoundPack(Unpack(a));
    }
    Unpacked ub = Unpack(b);
    ub.negative = bNegative;
    if (ka == Kind::kZero) {
        return RoundPack(ub);
    }
    Unpacked ua = Unpack(a);
    if (ua.exp < ub.exp || (ua.exp == ub.exp && ua.sig < ub.sig)) {
        std::swap(ua, ub);
    }
    // Both significands at bits 126..63 of a 128-bit field, the smaller one
    // shifted right by the exponent difference with a sticky bit; bit 127
    // takes the carry of a sum.
    std::uint64_t ahi = ua.sig >> 1;
    std::uint64_t alo = ua.sig << 63;
    std::uint64_t bhi = ub.sig >> 1;
    std::uint64_t blo = ub.sig << 63;
    const int d = ua.exp - ub.exp;
    if (d >= 128) {
        bhi = 0;
        blo = 1;
    } else if (d >= 64) {
        const std::uint64_t lost = (d == 64 ? 0 : (bhi << (128 - d))) | blo;
        blo = (d == 64 ? bhi : (bhi >> (d - 64))) | (lost != 0 ? 1 : 0);
        bhi = 0;
    } else if (d > 0) {
        const std::uint64_t lost = blo << (64 - d);
        blo = (blo >> d) | (bhi << (64 - d)) | (lost != 0 ? 1 : 0);
        bhi >>= d;
    }
    std::uint64_t hi;
    std::uint64_t lo;
    if (ua.negative == ub.negative) {
        lo = alo + blo;
        hi = ahi + bhi + (lo < alo ? 1 : 0);
    } else {
        lo = alo - blo;
        hi = ahi - bhi - (alo < blo ? 1 : 0);
        if (hi == 0 && lo == 0) {
            return Extended();  // exact cancellation gives +0
        }
    }
    return RoundPack(ua.negative, ua.exp + 1, hi, lo);
}

}  // namespace

Extended Extended::FromDouble(double value) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    const bool negative = (bits >> 63) != 0;
    const int field = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (field == 0x7FF) {
        if (fraction == 0) {
            return Infinity(negative);
        }
        // A NaN keeps its payload and becomes quiet.
        return FromParts(negative, kMaxExponent, kIntegerBit | kQuietBit | (fraction << 11));
    }
    if (field == 0) {
        if (fraction == 0) {
            return FromParts(negative, 0, 0);
        }
        return RoundPack(negative, kBias + 127 - 1074, 0, fraction);  // fraction * 2^-1074
    }
    return FromParts(negative, static_cast<std::uint16_t>(field - 1023 + kBias),
                     kIntegerBit | (fraction << 11));
}

Extended Extended::FromUint64(std::uint64_t value) {
    if (value == 0) {
        return Extended();
    }
    return RoundPack(false, kBias + 63, value, 0);
}

Extended Extended::FromInt64(std::int64_t value) {
    const bool negative = value < 0;
    const std::uint64_t magnitude = negative ? std::uint64_t{0} - static_cast<std::uint64_t>(value)
                                             : static_cast<std::uint64_t>(value);
    Extended e = FromUint64(magnitude);
    e.negative_ = negative;
    return e;
}

Extended Extended::Infinity(bool negative) {
    return FromParts(negative, kMaxExponent, kIntegerBit);
}

Extended Extended::QuietNaN(bool negative) {
    return FromParts(negative, kMaxExponent, kIntegerBit | kQuietBit);
}

Extended operator+(Extended a, Extended b) {
    return Add(a, b, false);
}

Extended operator-(Extended a, Extended b) {
    return Add(a, b, true);
}

Extended operator*(Extended a, Extended b) {
    const Kind ka = Classify(a);
    const Kind kb = Classify(b);
    if (ka == Kind::kNaN || kb == Kind::kNaN) {
        return PropagateNaN(a, b);
    }
    if (ka == Kind::kInvalid || kb == Kind::kInvalid) {
        return DefaultNaN();
    }
    const bool negative = a.IsNegative() != b.IsNegative();
    if (ka == Kind::kInfinity || kb == Kind::kInfinity) {
        if (ka == Kind::kZero || kb == Kind::kZero) {
            return DefaultNaN();
        }
        return Extended::Infinity(negative);
    }
    if (ka == Kind::kZero || kb == Kind::kZero) {
        return Extended::FromParts(negative, 0, 0);
    }
    const Unpacked ua = Unpack(a);
    const Unpacked ub = Unpack(b);
    std::uint64_t hi;
    std::uint64_t lo;
    Multiply64(ua.sig, ub.sig, hi, lo);
    return RoundPack(negative, ua.exp + ub.exp - kBias + 1, hi, lo);
}

Extended operator/(Extended a, Extended b) {
    const Kind ka = Classify(a);
    const Kind kb = Classify(b);
    if (ka == Kind::kNaN || kb == Kind::kNaN) {
        return PropagateNaN(a, b);
    }
    if (ka == Kind::kInvalid || kb == Kind::kInvalid) {
        return DefaultNaN();
    }
    const bool negative = a.IsNegative() != b.IsNegative();
    if (ka == Kind::kInfinity) {
        return kb == Kind::kInfinity ? DefaultNaN() : Extended::Infinity(negative);
    }
    if (kb == Kind::kInfinity) {
        return Extended::FromParts(negative, 0, 0);
    }
    if (kb == Kind::kZero) {
        return ka == Kind::kZero ? DefaultNaN() : Extended::Infinity(negative);
    }
    if (ka == Kind::kZero) {
        return Extended::FromParts(negative, 0, 0);
    }
    const Unpacked ua = Unpack(a);
    const Unpacked ub = Unpack(b);
    // Restoring division: 66 quotient bits, the first of weight 1, then
    // the remainder as a sticky bit. The partial remainder stays below twice
    // the divisor, so it needs 65 bits: `carry` is its top one.
    std::uint64_t r = ua.sig;
    bool carry = false;
    std::uint64_t q = 0;
    std::uint64_t qExtra = 0;
    for (int i = 0; i < 66; ++i) {
        const bool bit = carry || r >= ub.sig;
        if (bit) {
            r -= ub.sig;
        }
        if (i < 64) {
            q = (q << 1) | (bit ? 1 : 0);
        } else {
            qExtra = (qExtra << 1) | (bit ? 1 : 0);
        }
        carry = (r >> 63) != 0;
        r <<= 1;
    }
    const std::uint64_t sticky = (r != 0 || carry) ? 1 : 0;
    return RoundPack(negative, ua.exp - ub.exp + kBias, q, (qExtra << 62) | sticky);
}

Extended Extended::operator-() const {
    return FromParts(!negative_, exponent_, significand_);
}

Extended Extended::Abs() const {
    return FromParts(false, exponent_, significand_);
}

double Extended::ToDouble() const {
    const std::uint64_t sign = negative_ ? std::uint64_t{1} << 63 : 0;
    constexpr std::uint64_t kExponentMask = std::uint64_t{0x7FF} << 52;
    switch (Classify(*this)) {
        case Kind::kZero:
            return std::bit_cast<double>(sign);
        case Kind::kInfinity:
            return std::bit_cast<double>(sign | kExponentMask);
        case Kind::kNaN:
            // The payload's top bits, made quiet.
            return std::bit_cast<double>(sign | kExponentMask | (std::uint64_t{1} << 51) |
                                         ((significand_ >> 11) & ((std::uint64_t{1} << 52) - 1)));
        case Kind::kInvalid:
            return std::bit_cast<double>((std::uint64_t{0xFFF8} << 48));
        case Kind::kFinite:
            break;
    }
    const Unpacked u = Unpack(*this);
    const int unbiased = u.exp - kBias;
    if (unbiased >= 1024) {
        return std::bit_cast<double>(sign | kExponentMask);
    }
    // Bits of the significand below the double's last place: 11 for normal
    // doubles, more for subnormal ones.
    const int shift = unbiased >= -1022 ? 11 : 11 + (-1022 - unbiased);
    if (shift > 64) {
        return std::bit_cast<double>(sign);
    }
    std::uint64_t mantissa = shift == 64 ? 0 : u.sig >> shift;
    const std::uint64_t rest = shift == 64 ? u.sig : u.sig & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (rest > half || (rest == half && (mantissa & 1) != 0)) {
        ++mantissa;  // a carry moves into the exponent field, up to infinity
    }
    std::uint64_t bits = mantissa;
    if (unbiased >= -1022) {
        bits += static_cast<std::uint64_t>(unbiased + 1023 - 1) << 52;
    }
    return std::bit_cast<double>(sign | bits);
}

std::int64_t Extended::TruncToInt64() const {
    constexpr std::int64_t kIndefinite = static_cast<std::int64_t>(kIntegerBit);
    switch (Classify(*this)) {
        case Kind::kZero:
            return 0;
        case Kind::kFinite:
            break;
        default:
            return kIndefinite;
    }
    const Unpacked u = Unpack(*this);
    const int unbiased = u.exp - kBias;
    if (unbiased < 0) {
        return 0;
    }
    if (unbiased >= 63) {
        // Only -2^63 fits; everything else is out of range.
        return kIndefinite;
    }
    const std::uint64_t magnitude = u.sig >> (63 - unbiased);
    const auto value = static_cast<std::int64_t>(magnitude);
    return negative_ ? -value : value;
}

bool Extended::IsNaN() const {
    return exponent_ == kMaxExponent && significand_ != kIntegerBit;
}

bool Extended::IsInfinite() const {
    return exponent_ == kMaxExponent && significand_ == kIntegerBit;
}

bool Extended::IsZero() const {
    return exponent_ == 0 && significand_ == 0;
}

}  // namespace veerpic
