// The parallelogram transfer at 30 degrees: a 1000 x 1000 and a 4000 x 3000
// 24-bit picture and a 4000 x 3000 8-bit one, with the portable sampler and
// each SIMD sampler.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>

#include "rotate/geometry.h"
#include "surface/dib.h"
#include "surface/plgblt_internal.h"

namespace {

using namespace platform;

// A section of `bitCount` bits filled with a deterministic pattern (a grey
// ramp palette for 8 bits).
HBITMAP MakePicture(std::int32_t width, std::int32_t height, std::uint16_t bitCount) {
    detail::DibFormat format;
    format.width = width;
    format.height = height;
    format.bitCount = bitCount;
    if (bitCount == 8) {
        format.colorCount = 256;
        for (int i = 0; i < 256; ++i) {
            format.colors[i] = {static_cast<BYTE>(i), static_cast<BYTE>(255 - i),
                                static_cast<BYTE>(i * 7), 0};
        }
    }
    HBITMAP bitmap = detail::NewSection(format);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < bitmap->size; ++i) {
        state = state * 1664525u + 1013904223u;
        bitmap->bits.get()[i] = static_cast<std::uint8_t>((i / 3 + (state >> 28)) & 0xFF);
    }
    return bitmap;
}

HBITMAP MakeCanvas(std::int32_t width, std::int32_t height) {
    detail::DibFormat format;
    format.width = width;
    format.height = height;
    format.bitCount = 24;
    return detail::NewSection(format);
}

void BM_Transfer30(benchmark::State& state) {
    const auto width = static_cast<std::int32_t>(state.range(0));
    const auto height = static_cast<std::int32_t>(state.range(1));
    const auto bitCount = static_cast<std::uint16_t>(state.range(2));
    // 0: portable, 1: SSSE3, 2: AVX2.
    const detail::SampleRunFunction samplers[] = {detail::SampleRunScalar, detail::SampleRunSsse3,
                                                  detail::SampleRunAvx2};
    const detail::SampleRunFunction run = samplers[state.range(3)];
#if defined(__x86_64__) || defined(__i386__)
    if ((state.range(3) == 1 && !__builtin_cpu_supports("ssse3")) ||
        (state.range(3) == 2 && !__builtin_cpu_supports("avx2"))) {
        state.SkipWithError("not supported on this machine");
        return;
    }
#endif
    const veerpic::RotationGeometry g = veerpic::ComputeRotationGeometry(width, height, 30.0);
    HBITMAP source = MakePicture(width, height, bitCount);
    HBITMAP canvas = MakeCanvas(g.canvasWidth, g.canvasHeight);
    for (auto _ : state) {
        detail::DrawHalftoneParallelogram(*canvas, g.corners, *source, 0, 0, width, height, run);
        benchmark::ClobberMemory();
    }
    const double pixels = static_cast<double>(width) * height;
    // Nanoseconds per source pixel (shown with the unit "s" by the library).
    state.counters["ns_per_px"] = benchmark::Counter(
        pixels * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    DeleteObject(source);
    DeleteObject(canvas);
}

}  // namespace

// Arguments: width, height, source bits per pixel, sampler (0 portable,
// 1 SSSE3, 2 AVX2).
BENCHMARK(BM_Transfer30)
    ->ArgNames({"w", "h", "bits", "sampler"})
    ->ArgsProduct({{1000}, {1000}, {24}, {0, 1, 2}})
    ->ArgsProduct({{4000}, {3000}, {24, 8}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
