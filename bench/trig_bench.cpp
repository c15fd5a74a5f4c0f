// The correctly rounded sine and cosine: time per call on random arguments
// (angles in [0, 2 pi) as the geometry sees them, and arguments over every
// binade up to 2^53), the slow path alone, and the share of arguments that
// the fast path leaves to the slow one.
#include <benchmark/benchmark.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "numeric/trig.h"

namespace {

using veerpic::trig_detail::Function;

constexpr std::size_t kCount = 4096;

// Angles in radians below 2 pi.
std::vector<double> Angles() {
    std::mt19937_64 rng(1);
    std::vector<double> v(kCount);
    for (double& x : v) {
        x = static_cast<double>(rng() >> 11) * 0x1p-53 * 6.283185307179586;
    }
    return v;
}

// Arguments with a random exponent from 2^-26 to 2^52 and random significand.
std::vector<double> AllBinades() {
    std::mt19937_64 rng(2);
    std::vector<double> v(kCount);
    for (double& x : v) {
        const std::uint64_t exponent = 1023 - 26 + rng() % 79;
        x = std::bit_cast<double>((exponent << 52) | (rng() >> 12));
    }
    return v;
}

template <double (*F)(double)>
void Run(benchmark::State& state, const std::vector<double>& args) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(F(args[i]));
        i = (i + 1) % kCount;
    }
}

void BM_SineAngles(benchmark::State& state) {
    Run<veerpic::Sine>(state, Angles());
}
void BM_CosineAngles(benchmark::State& state) {
    Run<veerpic::Cosine>(state, Angles());
}
void BM_SineAllBinades(benchmark::State& state) {
    Run<veerpic::Sine>(state, AllBinades());
}
void BM_CosineAllBinades(benchmark::State& state) {
    Run<veerpic::Cosine>(state, AllBinades());
}

// The C library's functions on the same angles, for scale.
double LibrarySin(double x) {
    return std::sin(x);
}
void BM_LibrarySinAngles(benchmark::State& state) {
    Run<LibrarySin>(state, Angles());
}

double SlowSine(double x) {
    return veerpic::trig_detail::SlowRounded(Function::kSine, x);
}
double SlowCosine(double x) {
    return veerpic::trig_detail::SlowRounded(Function::kCosine, x);
}
void BM_SlowSineAllBinades(benchmark::State& state) {
    Run<SlowSine>(state, AllBinades());
}
void BM_SlowCosineAllBinades(benchmark::State& state) {
    Run<SlowCosine>(state, AllBinades());
}

// How often the fast path cannot settle the rounding, over fresh random
// arguments in every binade (both functions per argument).
void BM_SlowPathShare(benchmark::State& state) {
    std::mt19937_64 rng(3);
    std::int64_t calls = 0;
    std::int64_t unsettled = 0;
    for (auto _ : state) {
        const std::uint64_t exponent = 1023 - 26 + rng() % 79;
        const double x = std::bit_cast<double>((exponent << 52) | (rng() >> 12));
        for (Function f : {Function::kSine, Function::kCosine}) {
            double y = 0;
            unsettled += veerpic::trig_detail::FastRounded(f, x, &y) ? 0 : 1;
            benchmark::DoNotOptimize(y);
            ++calls;
        }
    }
    state.counters["calls"] = static_cast<double>(calls);
    state.counters["slow"] = static_cast<double>(unsettled);
}

BENCHMARK(BM_SineAngles);
BENCHMARK(BM_CosineAngles);
BENCHMARK(BM_SineAllBinades);
BENCHMARK(BM_CosineAllBinades);
BENCHMARK(BM_LibrarySinAngles);
BENCHMARK(BM_SlowSineAllBinades);
BENCHMARK(BM_SlowCosineAllBinades);
BENCHMARK(BM_SlowPathShare)->Iterations(20000000);

}  // namespace

BENCHMARK_MAIN();
