// Sine and cosine against MPFR: random arguments over every binade, the
// doubles nearest multiples of pi/2 at every scale, and arguments whose
// results lie extremely close to a rounding boundary.
#include <gmp.h>
#include <gtest/gtest.h>
#include <mpfr.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "numeric/trig.h"

namespace {

using veerpic::trig_detail::Function;

// Fewer random arguments in unoptimised and sanitizer builds.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEERPIC_SLOW_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
#define VEERPIC_SLOW_BUILD 1
#endif
#ifdef VEERPIC_SLOW_BUILD
constexpr int kRandomCount = 30000;
#else
constexpr int kRandomCount = 300000;
#endif

std::uint64_t Bits(double d) {
    return std::bit_cast<std::uint64_t>(d);
}

std::string Hex(double d) {
    char text[40];
    std::snprintf(text, sizeof text, "%a", d);
    return text;
}

// An MPFR number that releases itself.
class Big {
  public:
    explicit Big(mpfr_prec_t precision) { mpfr_init2(v_, precision); }
    ~Big() { mpfr_clear(v_); }
    Big(const Big&) = delete;
    Big& operator=(const Big&) = delete;
    mpfr_ptr get() { return v_; }

  private:
    mpfr_t v_;
};

// sin x or cos x, rounded to the precision of `out`.
void Exact(Function f, double x, Big& out) {
    Big a(53);
    mpfr_set_d(a.get(), x, MPFR_RNDN);
    (f == Function::kSine ? mpfr_sin : mpfr_cos)(out.get(), a.get(), MPFR_RNDN);
}

// The correctly rounded double of sin x or cos x.
double Reference(Function f, double x) {
    Big y(53);
    Exact(f, x, y);
    return mpfr_get_d(y.get(), MPFR_RNDN);
}

double FromParts(std::uint64_t biasedExponent, std::uint64_t mantissa) {
    return std::bit_cast<double>((biasedExponent << 52) |
                                 (mantissa & ((std::uint64_t{1} << 52) - 1)));
}

// Checks both functions at x and -x and at `spread` neighbours on each side;
// counts the mismatches and the calls the fast evaluation could not settle.
struct Checker {
    const char* name;
    int spread = 1;
    long checked = 0;
    long wrong = 0;
    long slow = 0;

    void Check(double x) {
        for (int d = -spread; d <= spread; ++d) {
            double y = x;
            for (int i = 0; i < std::abs(d); ++i) {
                y = std::nextafter(y, d < 0 ? 0.0 : 1e300);
            }
            CheckOne(y);
        }
    }

    void CheckOne(double x) {
        if (!(std::fabs(x) < 0x1p53)) {
            return;  // outside the functions' domain
        }
        for (Function f : {Function::kSine, Function::kCosine}) {
            for (double a : {x, -x}) {
                const double expected = Reference(f, a);
                const double got = f == Function::kSine ? veerpic::Sine(a) : veerpic::Cosine(a);
                double fast = 0;
                slow += std::fabs(a) >= 0x1p-26 && !veerpic::trig_detail::FastRounded(f, a, &fast);
                ++checked;
                if (Bits(got) != Bits(expected) && ++wrong <= 10) {
                    ADD_FAILURE() << name << (f == Function::kSine ? ": sin " : ": cos ") << Hex(a)
                                  << " = " << Hex(got) << ", want " << Hex(expected);
                }
            }
        }
    }

    ~Checker() {
        EXPECT_EQ(wrong, 0) << name << " of " << checked;
        std::printf("%s: %ld values, %ld wrong, %ld not settled by the fast path\n", name, checked,
                    wrong, slow);
    }
};

TEST(TrigReference, RandomArgumentsInEveryBinade) {
    std::mt19937_64 rng(7);
    Checker c{"random", 0};
    for (int i = 0; i < kRandomCount; ++i) {
        // Binades 2^-30 .. 2^52, and now and then a tiny or subnormal one.
        const std::uint64_t r = rng();
        const std::uint64_t exponent =
            (i % 64 == 0) ? (r >> 53) % (1023 - 30) : 1023 - 30 + (r >> 53) % 83;
        c.Check(FromParts(exponent, rng()));
    }
}

// The double nearest k pi/2 and its neighbours, for small k, random k, and
// k near the top of the range (2^53 / (pi/2)).
TEST(TrigReference, NearMultiplesOfHalfPi) {
    Big halfPi(300);
    Big t(300);
    mpfr_const_pi(halfPi.get(), MPFR_RNDN);
    mpfr_div_2ui(halfPi.get(), halfPi.get(), 1, MPFR_RNDN);
    const std::uint64_t kMaxK = 5734161139222658;  // floor(2^53 / (pi/2))
    std::vector<std::uint64_t> ks;
    std::mt19937_64 rng(11);
    for (std::uint64_t k = 1; k <= 4000; ++k) {
        ks.insert(ks.end(), {k <= 2000 ? k : kMaxK + 2001 - k, rng() >> (11 + k % 53) | 1});
    }
    Checker c{"near k pi/2"};
    for (std::uint64_t k : ks) {
        mpfr_mul_ui(t.get(), halfPi.get(), static_cast<unsigned long>(k), MPFR_RNDN);
        c.Check(mpfr_get_d(t.get(), MPFR_RNDN));
    }
}

// In each binade [2^E, 2^(E+1)) the doubles p 2^(E-52) closest to a multiple
// q pi/2 come from the convergents p/q of (pi/2) 2^(52-E).
TEST(TrigReference, ClosestToMultiplesOfHalfPiInEachBinade) {
    Big a(600);
    Checker c{"convergents"};
    for (int e = 0; e <= 52; ++e) {
        mpfr_const_pi(a.get(), MPFR_RNDN);
        mpfr_mul_2si(a.get(), a.get(), 51 - e, MPFR_RNDN);
        std::uint64_t p0 = 0;
        std::uint64_t p1 = 1;  // numerators p(n-2), p(n-1)
        while (mpfr_cmp_d(a.get(), 0x1p60) <= 0) {
            const std::uint64_t quotient = mpfr_get_ui(a.get(), MPFR_RNDZ);
            if (quotient >= ((std::uint64_t{1} << 53) - p0) / p1) {
                break;  // the next numerator reaches 2^53
            }
            const std::uint64_t p = quotient * p1 + p0;
            c.Check(std::ldexp(static_cast<double>(p), e - 52));
            p0 = p1;
            p1 = p;
            mpfr_sub_ui(a.get(), a.get(), quotient, MPFR_RNDN);
            if (mpfr_zero_p(a.get())) {
                break;
            }
            mpfr_ui_div(a.get(), 1, a.get(), MPFR_RNDN);
        }
    }
}

// Results within a tiny fraction of a unit of a rounding boundary: for small
// x, sin x = x - x^3/6 + ... meets the midpoint between two doubles where
// x^3/6 = (j + 1/2) ulp(x), and cos x = 1 - x^2/2 + ... where
// x^2/2 = (j + 1/2) 2^-53. The doubles nearest those x are the hardest.
TEST(TrigReference, ResultsNextToRoundingBoundaries) {
    Big t(200);
    Checker c{"hard roundings", 2};
    // 2^shift m, then its root of `degree`.
    auto root = [&t](long m, long shift, int degree) {
        mpfr_set_si(t.get(), m, MPFR_RNDN);
        mpfr_mul_2si(t.get(), t.get(), shift, MPFR_RNDN);
        (degree == 3 ? mpfr_cbrt : mpfr_sqrt)(t.get(), t.get(), MPFR_RNDN);
        return mpfr_get_d(t.get(), MPFR_RNDN);
    };
    for (int k = -26; k <= -18; ++k) {
        for (long j = 0; j < 400; ++j) {
            // x = cbrt(6 (j + 1/2) 2^(k-52)), kept when it lies in binade k.
            const double x = root(12 * j + 6, k - 53, 3);
            if (x >= std::ldexp(1.0, k) && x < std::ldexp(1.0, k + 1)) {
                c.Check(x);
            }
        }
    }
    std::mt19937_64 rng(3);
    for (long j = 0; j < 3000; ++j) {
        const long jj = j < 1000 ? j : static_cast<long>(rng() % (1 << 22));
        c.Check(root(2 * jj + 1, -53, 2));  // x = sqrt((2j + 1) 2^-53)
    }
    // Without cases the fast path cannot settle, the slow path goes untested here.
    EXPECT_GT(c.slow, 100);
}

// The fast evaluation's error against its bound of 2^-90, measured with
// 300-bit values; and the slow evaluation alone on the same arguments.
TEST(TrigReference, FastErrorBoundAndSlowPath) {
    std::mt19937_64 rng(5);
    Big exact(300);
    Big approx(300);
    double worst = 0;
    const int count = kRandomCount / 20;
    for (int i = 0; i < count; ++i) {
        const double x = FromParts(1023 - 27 + (rng() >> 53) % 80, rng());
        for (Function f : {Function::kSine, Function::kCosine}) {
            Exact(f, x, exact);
            double hi = 0;
            double lo = 0;
            if (veerpic::trig_detail::FastValue(f, x, &hi, &lo)) {
                mpfr_set_d(approx.get(), hi, MPFR_RNDN);
                mpfr_add_d(approx.get(), approx.get(), lo, MPFR_RNDN);
                mpfr_sub(approx.get(), approx.get(), exact.get(), MPFR_RNDN);
                mpfr_div(approx.get(), approx.get(), exact.get(), MPFR_RNDN);
                worst = std::max(worst, std::fabs(mpfr_get_d(approx.get(), MPFR_RNDU)));
            }
            ASSERT_EQ(Bits(veerpic::trig_detail::SlowRounded(f, x)),
                      Bits(mpfr_get_d(exact.get(), MPFR_RNDN)))
                << Hex(x);
        }
    }
    EXPECT_LT(worst, 0x1p-90);
    std::printf("fast path: worst relative error 2^%.1f over %d arguments\n", std::log2(worst),
                count);
}

}  // namespace
