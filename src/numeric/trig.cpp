#include "numeric/trig.h"

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

// Every double operation below must round to double once: no wider
// intermediate format, no contraction (the build passes -ffp-contract=off).
static_assert(FLT_EVAL_METHOD == 0, "double expressions must be evaluated in double");
static_assert(std::numeric_limits<double>::is_iec559, "IEEE 754 doubles are required");

namespace veerpic {

namespace {

using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

using trig_detail::Function;

// ---------------------------------------------------------------------------
// Constants.

// The first 512 fraction bits of 2/pi = 0.A2F9836E4E441529... (hexadecimal),
// most significant word first. 512 bits leave the product with any double
// below 2^53 in error by less than 2^53 * 2^-512 = 2^-459.
constexpr u64 kTwoOverPi[8] = {
    0xA2F9836E4E441529, 0xFC2757D1F534DDC0, 0xDB6295993C439041, 0xFE5163ABDEBBC561,
    0xB7246E3A424DD2E0, 0x06492EEA09D1921C, 0xFE1DEB1CB129A73E, 0xE88235F52EBB4484,
};

// pi/2 - 1 truncated to 384 fraction bits, most significant word first.
constexpr u64 kHalfPiMinusOne[6] = {
    0x921FB54442D18469, 0x898CC51701B839A2, 0x52049C1114CF98E8,
    0x04177D4C76273644, 0xA29410F31C6809BB, 0xDF2A33679A748636,
};

struct DD {
    double hi;
    double lo;
};

// pi/2 as a double-double: relative error below 2^-107.
constexpr DD kHalfPi = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};

// Taylor coefficients as double-doubles (the first terms) and as doubles
// (the terms whose size is below 2^-53 on the reduced range), each the
// nearest value to (-1)^k / n!.
constexpr DD kSinHead[8] = {
    {0x1p+0, 0},                                       // 1/1!
    {-0x1.5555555555555p-3, -0x1.5555555555555p-57},   // -1/3!
    {0x1.1111111111111p-7, 0x1.1111111111111p-63},     // 1/5!
    {-0x1.a01a01a01a01ap-13, -0x1.a01a01a01a01ap-73},  // -1/7!
    {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},   // 1/9!
    {-0x1.ae64567f544e4p-26, 0x1.c062e06d1f209p-80},   // -1/11!
    {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87},    // 1/13!
    {-0x1.ae7f3e733b81fp-41, -0x1.1d8656b0ee8cbp-97},  // -1/15!
};
constexpr double kSinTail[7] = {
    0x1.952c77030ad4ap-49,   // 1/17!
    -0x1.2f49b46814157p-57,  // -1/19!
    0x1.71b8ef6dcf572p-66,   // 1/21!
    -0x1.761b41316381ap-75,  // -1/23!
    0x1.3f3ccdd165fa9p-84,   // 1/25!
    -0x1.d1ab1c2dccea3p-94,  // -1/27!
    0x1.259f98b4358adp-103,  // 1/29!
};
constexpr DD kCosHead[9] = {
    {0x1p+0, 0},                                       // 1/0!
    {-0x1p-1, 0},                                      // -1/2!
    {0x1.5555555555555p-5, 0x1.5555555555555p-59},     // 1/4!
    {-0x1.6c16c16c16c17p-10, 0x1.f49f49f49f49fp-65},   // -1/6!
    {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},    // 1/8!
    {-0x1.27e4fb7789f5cp-22, -0x1.cbbc05b4fa99ap-76},  // -1/10!
    {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83},   // 1/12!
    {-0x1.93974a8c07c9dp-37, -0x1.05d6f8a2efd1fp-92},  // -1/14!
    {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101},   // 1/16!
};
constexpr double kCosTail[7] = {
    -0x1.6827863b97d97p-53,   // -1/18!
    0x1.e542ba4020225p-62,    // 1/20!
    -0x1.0ce396db7f853p-70,   // -1/22!
    0x1.f2cf01972f578p-80,    // 1/24!
    -0x1.88e85fc6a4e5ap-89,   // -1/26!
    0x1.0a18a2635085dp-98,    // 1/28!
    -0x1.3932c5047d60ep-108,  // -1/30!
};

// ---------------------------------------------------------------------------
// Helpers on words and doubles.

// 2^k for a normal result (-1022 <= k <= 1023).
double Pow2(int k) {
    return std::bit_cast<double>(static_cast<u64>(k + 1023) << 52);
}

u64 WordAt(const u64* p, int count, int i) {
    return i >= 0 && i < count ? p[i] : 0;
}

// Bits [pos, pos + 64) of the little-endian number p[0..count); bits outside
// it read as zero, and pos may be negative.
u64 BitsAt(const u64* p, int count, int pos) {
    const int i = pos >> 6;
    const int s = pos & 63;
    u64 bits = WordAt(p, count, i) >> s;
    if (s != 0) {
        bits |= WordAt(p, count, i + 1) << (64 - s);
    }
    return bits;
}

// Number of significant bits of p[0..count).
int BitLength(const u64* p, int count) {
    for (int i = count - 1; i >= 0; --i) {
        if (p[i] != 0) {
            return 64 * i + 64 - std::countl_zero(p[i]);
        }
    }
    return 0;
}

// True when p has a set bit below position pos.
bool AnyBitBelow(const u64* p, int count, int pos) {
    for (int i = 0; i < count && 64 * i < pos; ++i) {
        const int width = pos - 64 * i;
        const u64 mask = width >= 64 ? ~u64{0} : (u64{1} << width) - 1;
        if ((p[i] & mask) != 0) {
            return true;
        }
    }
    return false;
}

// x = m * 2^e with m an integer below 2^53; x must be normal and positive.
void Decompose(double x, u64* m, int* e) {
    const u64 bits = std::bit_cast<u64>(x);
    *m = (bits & ((u64{1} << 52) - 1)) | (u64{1} << 52);
    *e = static_cast<int>(bits >> 52) - 1075;
}

// ---------------------------------------------------------------------------
// Exact argument reduction.

// |x| * 2/pi = 4n + quadrant + (negative ? -f : f), with 0 <= f <= 1/2 held
// in K words of fraction bits (little-endian: value = sum frac[i] 2^(64i-64K)).
// T words of 2/pi take part in the product.
template <int K>
struct Reduction {
    std::array<u64, K> frac;
    unsigned quadrant;
    bool negative;
};

template <int T, int K>
Reduction<K> Reduce(double ax) {
    u64 m = 0;
    int e = 0;
    Decompose(ax, &m, &e);
    // P = m * (2/pi truncated to 64T bits); m * 2^e * 2/pi ~ P * 2^(e - 64T).
    // No bit of 2/pi can be skipped: with e <= 0 none of them contributes a
    // whole multiple of 4.
    u64 p[T + 1];
    u64 carry = 0;
    for (int i = 0; i < T; ++i) {
        const u128 t = static_cast<u128>(m) * kTwoOverPi[T - 1 - i] + carry;
        p[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
    p[T] = carry;
    const int point = 64 * T - e;  // the bit of P with weight 1
    Reduction<K> r;
    r.quadrant = static_cast<unsigned>(BitsAt(p, T + 1, point) & 3);
    for (int i = 0; i < K; ++i) {
        r.frac[i] = BitsAt(p, T + 1, point - 64 * (K - i));
    }
    r.negative = (r.frac[K - 1] >> 63) != 0;
    if (r.negative) {
        // f >= 1/2: count from the next quadrant, f' = 1 - f.
        u64 c = 1;
        for (int i = 0; i < K; ++i) {
            const u64 w = ~r.frac[i] + c;
            c = (c != 0 && w == 0) ? 1 : 0;
            r.frac[i] = w;
        }
        r.quadrant = (r.quadrant + 1) & 3;
    }
    return r;
}

// With x reduced to quadrant q and reduced argument s*r (s = -1 when
// `negative`), which of sin r and cos r gives the result, and its sign.
// sin(q pi/2 + s r) is s sin r, cos r, -s sin r, -cos r for q = 0..3; the
// cosine is the sine one quadrant further.
struct Selection {
    bool useCos;
    bool negate;
};

Selection Select(Function f, unsigned quadrant, bool negative, bool xNegative) {
    const unsigned q = (quadrant + (f == Function::kCosine ? 1u : 0u)) & 3;
    Selection s;
    s.useCos = (q & 1) != 0;
    switch (q) {
        case 0:
            s.negate = negative;
            break;
        case 1:
            s.negate = false;
            break;
        case 2:
            s.negate = !negative;
            break;
        default:
            s.negate = true;
            break;
    }
    // sin(-x) = -sin x; cos(-x) = cos x.
    if (f == Function::kSine && xNegative) {
        s.negate = !s.negate;
    }
    return s;
}

// ---------------------------------------------------------------------------
// Fast path: double-double arithmetic from exact error-free transformations.

DD TwoSum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    const double err = (a - (s - bb)) + (b - bb);
    return {s, err};
}

// Requires |a| >= |b| (or a = 0).
DD FastTwoSum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Veltkamp's split: a = hi + lo with both halves of at most 26 bits.
void Split(double a, double* hi, double* lo) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    *hi = t - (t - a);
    *lo = a - *hi;
}

// Dekker's exact product: a * b = hi + lo.
DD TwoProd(double a, double b) {
    const double p = a * b;
    double ah = 0;
    double al = 0;
    double bh = 0;
    double bl = 0;
    Split(a, &ah, &al);
    Split(b, &bh, &bl);
    const double err = (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
    return {p, err};
}

// Relative error below 2^-102 for operands with |lo| < 2^-52 |hi|: the cross
// products and their sums are rounded, a.lo * b.lo is left out.
DD Mul(DD a, DD b) {
    const DD p = TwoProd(a.hi, b.hi);
    const double cross = a.hi * b.lo + a.lo * b.hi;
    return FastTwoSum(p.hi, p.lo + cross);
}

// Relative error below 2^-103 when the smaller operand is at most a third of
// the larger, as in every use below (so they cancel by a third at most).
DD Add(DD a, DD b) {
    const DD s = TwoSum(a.hi, b.hi);
    return FastTwoSum(s.hi, s.lo + (a.lo + b.lo));
}

// Taylor series in z = r^2 for 0 < r < pi/4 (so z < 0.617): the tail in
// doubles, the head in double-doubles, by Horner's rule. The terms left out
// are below 2^-110 relative.
template <int H, int N>
DD Series(const DD (&head)[H], const double (&tail)[N], DD z) {
    double t = tail[N - 1];
    for (int k = N - 2; k >= 0; --k) {
        t = t * z.hi + tail[k];
    }
    DD s = {t, 0};
    for (int k = H - 1; k >= 0; --k) {
        s = Add(Mul(s, z), head[k]);
    }
    return s;
}

// Error budget of the fast value, relative:
//  - reduction (|x| >= 0.78): the 256 bits of 2/pi leave an error below
//    2^-203 in x * 2/pi and the 192 bits kept below 2^-192; with f >= 2^-80
//    (checked) that is below 2^-111 of f. Keeping 106 bits of f adds 2^-105,
//    pi/2 as a double-double 2^-107, the product 2^-102: r is off by less
//    than 2^-101.5 (for |x| < 0.78, r = |x| exactly);
//  - z = r^2: below 2^-99.5;
//  - the series: its truncation below 2^-110, the coefficients 2^-106, the
//    double tail (terms below 2^-53 of the sum, each off by a few 2^-53)
//    2^-104. A Horner step head[k] + s z adds 2^-103 for the sum and the
//    product's 2^-102 and s's own error scaled by |s z| / |result| < 1/2;
//    the error of z reaches the sum scaled by z S'(z) / S(z) < 1/2.
//    Together below 2^-98.5;
//  - sin r = r * S(z): the errors of r and of S, plus 2^-102.
// The total stays below 2^-97; the rounding test takes 2^-90. (Measured
// against 300-bit values, the largest error seen is near 2^-104.)
constexpr double kFastErrorBound = 0x1p-90;

}  // namespace

namespace trig_detail {

bool FastValue(Function f, double x, double* hi, double* lo) {
    const double ax = std::fabs(x);
    if (!(ax >= 0x1p-27 && ax < 0x1p53)) {
        return false;
    }
    DD r = {ax, 0};
    unsigned quadrant = 0;
    bool negative = false;
    if (ax >= 0.78) {
        constexpr int kFracWords = 3;
        const Reduction<kFracWords> red = Reduce<4, kFracWords>(ax);
        const int n = BitLength(red.frac.data(), kFracWords);
        if (n < 64 * kFracWords - 80) {
            return false;  // f below 2^-80: leave it to the slow path
        }
        // f = fh + fl from its top 106 bits.
        const u64 top = BitsAt(red.frac.data(), kFracWords, n - 64);
        const u64 next = BitsAt(red.frac.data(), kFracWords, n - 128);
        const double fh = static_cast<double>(top >> 11) * Pow2(n - 53 - 64 * kFracWords);
        const double fl = static_cast<double>(((top & 0x7FF) << 42) | (next >> 22)) *
                          Pow2(n - 106 - 64 * kFracWords);
        r = Mul({fh, fl}, kHalfPi);
        quadrant = red.quadrant;
        negative = red.negative;
    }
    const Selection sel = Select(f, quadrant, negative, x < 0);
    const DD z = Mul(r, r);
    const DD y = sel.useCos ? Series(kCosHead, kCosTail, z) : Mul(r, Series(kSinHead, kSinTail, z));
    *hi = sel.negate ? -y.hi : y.hi;
    *lo = sel.negate ? -y.lo : y.lo;
    return true;
}

bool FastRounded(Function f, double x, double* out) {
    double hi = 0;
    double lo = 0;
    if (!FastValue(f, x, &hi, &lo)) {
        return false;
    }
    // hi = RN(hi + lo). The exact value lies within |lo| + err of hi; it
    // rounds to hi when that stays below half the gap to hi's neighbour on
    // lo's side.
    const double ahi = std::fabs(hi);
    const double alo = hi < 0 ? -lo : lo;
    const u64 bits = std::bit_cast<u64>(ahi);
    const double gap =
        alo >= 0 ? std::bit_cast<double>(bits + 1) - ahi : ahi - std::bit_cast<double>(bits - 1);
    const double err = ahi * kFastErrorBound;
    // The sum is rounded once, by at most 2^-53 of itself: the factor
    // (1 - 2^-52) keeps the comparison safe.
    const double distance = std::fabs(alo) + err;
    if (!(distance < (gap * 0.5) * (1 - 0x1p-52))) {
        return false;
    }
    *out = hi;
    return true;
}

}  // namespace trig_detail

namespace {

// ---------------------------------------------------------------------------
// Slow path: fixed point with 384 fraction bits, little-endian words,
// value = sum w[i] 2^(64i - 384). Every operation truncates, by less than one
// unit of 2^-384.

constexpr int kWords = 6;
using Fixed = std::array<u64, kWords>;

Fixed MulFixed(const Fixed& a, const Fixed& b) {
    u64 prod[2 * kWords] = {};
    for (int i = 0; i < kWords; ++i) {
        u64 carry = 0;
        for (int j = 0; j < kWords; ++j) {
            const u128 t = static_cast<u128>(a[i]) * b[j] + prod[i + j] + carry;
            prod[i + j] = static_cast<u64>(t);
            carry = static_cast<u64>(t >> 64);
        }
        prod[i + kWords] = carry;
    }
    Fixed r;
    for (int i = 0; i < kWords; ++i) {
        r[i] = prod[i + kWords];
    }
    return r;
}

void DivSmall(Fixed* a, u64 d) {
    u64 rem = 0;
    for (int i = kWords - 1; i >= 0; --i) {
        const u128 t = (static_cast<u128>(rem) << 64) | (*a)[i];
        (*a)[i] = static_cast<u64>(t / d);
        rem = static_cast<u64>(t % d);
    }
}

void AddFixed(Fixed* a, const Fixed& b) {
    u64 carry = 0;
    for (int i = 0; i < kWords; ++i) {
        const u128 t = static_cast<u128>((*a)[i]) + b[i] + carry;
        (*a)[i] = static_cast<u64>(t);
        carry = static_cast<u64>(t >> 64);
    }
}

void SubFixed(Fixed* a, const Fixed& b) {
    u64 borrow = 0;
    for (int i = 0; i < kWords; ++i) {
        const u64 ai = (*a)[i];
        const u64 d = ai - b[i] - borrow;
        borrow = (ai < b[i] || (ai == b[i] && borrow != 0)) ? 1 : 0;
        (*a)[i] = d;
    }
}

bool IsZero(const Fixed& a) {
    for (u64 w : a) {
        if (w != 0) {
            return false;
        }
    }
    return true;
}

// sum - t1 + t2 - t3 + ..., where each term is the one before times z and
// divided by divisor(k) for k = first, first + 1, ..., until a term is zero.
template <typename Divisor>
Fixed AlternatingSeries(Fixed sum, Fixed term, const Fixed& z, u64 first, Divisor divisor) {
    for (u64 k = first;; ++k) {
        term = MulFixed(term, z);
        DivSmall(&term, divisor(k));
        if (IsZero(term)) {
            return sum;
        }
        if ((k - first) % 2 == 0) {
            SubFixed(&sum, term);
        } else {
            AddFixed(&sum, term);
        }
    }
}

// sin r and 1 - cos r for 0 < r < pi/4 by their Taylor series, the terms
// formed one from the other. Each term carries an error of a few units: two
// truncations, plus the error of the term before and of z, scaled down by
// z / ((2k)(2k + 1)) or z / ((2k - 1) 2k), below 1/9 (below 1/3 for z/2).
// The forty-odd terms stay below 1000 units in all.
Fixed SinFixed(const Fixed& r, const Fixed& z) {
    return AlternatingSeries(r, r, z, 1, [](u64 k) { return (2 * k) * (2 * k + 1); });
}

Fixed OneMinusCosFixed(const Fixed& z) {
    Fixed term = z;
    DivSmall(&term, 2);
    return AlternatingSeries(term, term, z, 2, [](u64 k) { return (2 * k - 1) * (2 * k); });
}

// The double nearest a positive fixed-point value of at least 2^-300, ties to even.
double RoundFixed(const Fixed& v) {
    const int n = BitLength(v.data(), kWords);
    const u64 top = BitsAt(v.data(), kWords, n - 64);
    u64 mant = top >> 11;
    const bool half = ((top >> 10) & 1) != 0;
    const bool sticky = (top & 0x3FF) != 0 || AnyBitBelow(v.data(), kWords, n - 64);
    if (half && (sticky || (mant & 1) != 0)) {
        ++mant;  // 2^53 at most, still exact in a double
    }
    return static_cast<double>(mant) * Pow2(n - 53 - 64 * kWords);
}

// Bound on the error of the fixed-point value, in units of 2^-384: reduction
// below 6 units, the series below 1000.
constexpr u64 kSlowErrorBound = 4096;

}  // namespace

namespace trig_detail {

double SlowRounded(Function f, double x) {
    const double ax = std::fabs(x);
    const Reduction<kWords> red = Reduce<8, kWords>(ax);
    // r = f * pi/2 = f + f * (pi/2 - 1).
    Fixed halfPiMinusOne;
    for (int i = 0; i < kWords; ++i) {
        halfPiMinusOne[i] = kHalfPiMinusOne[kWords - 1 - i];
    }
    Fixed r = MulFixed(red.frac, halfPiMinusOne);
    AddFixed(&r, red.frac);
    const Fixed z = MulFixed(r, r);

    const Selection sel = Select(f, red.quadrant, red.negative, x < 0);
    Fixed v;
    if (sel.useCos) {
        // cos r = 1 - (1 - cos r), as 2^384 minus the value in two's complement.
        v = OneMinusCosFixed(z);
        Fixed zero = {};
        SubFixed(&zero, v);
        v = zero;
    } else {
        v = SinFixed(r, z);
    }

    // The result is decided when both ends of the error interval round alike.
    Fixed bound = {};
    bound[0] = kSlowErrorBound;
    Fixed low = v;
    SubFixed(&low, bound);
    Fixed high = v;
    AddFixed(&high, bound);
    const double a = RoundFixed(low);
    // When even this cannot decide (no double argument is known to come this
    // close to a rounding boundary), the nearest value of v is taken.
    const double result = a == RoundFixed(high) ? a : RoundFixed(v);
    return sel.negate ? -result : result;
}

}  // namespace trig_detail

double Sine(double x) {
    const double ax = std::fabs(x);
    if (!(ax < 0x1p53)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // |sin x - x| < |x|^3 / 6 < 2^-54.5 |x| lies within half a unit of x.
    if (ax < 0x1p-26) {
        return x;
    }
    double y = 0;
    if (trig_detail::FastRounded(Function::kSine, x, &y)) {
        return y;
    }
    return trig_detail::SlowRounded(Function::kSine, x);
}

double Cosine(double x) {
    const double ax = std::fabs(x);
    if (!(ax < 0x1p53)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // 1 - cos x < x^2 / 2 < 2^-55: nearer 1 than 1 - 2^-54, the midpoint below.
    if (ax < 0x1p-27) {
        return 1.0;
    }
    double y = 0;
    if (trig_detail::FastRounded(Function::kCosine, x, &y)) {
        return y;
    }
    return trig_detail::SlowRounded(Function::kCosine, x);
}

}  // namespace veerpic
