// The parallelogram transfer at 30 degrees: a 1000 x 1000 and a 4000 x 3000
// 24-bit picture and a 4000 x 3000 8-bit one, with the portable sampler and
// each SIMD sampler.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "pixels/image.h"
#include "resample/cpu_features.h"
#include "resample/transfer.h"
#include "rotate/geometry.h"

namespace {

using veerpic::pixels::Image;
using namespace veerpic::resample;

// A section of `bitCount` bits filled with a deterministic pattern (a grey
// ramp palette for 8 bits).
std::unique_ptr<Image> MakePicture(std::int32_t width, std::int32_t height,
                                   std::uint16_t bitCount) {
    veerpic::pixels::DibFormat format;
    format.width = width;
    format.height = height;
    format.bitCount = bitCount;
    if (bitCount == 8) {
        format.colorCount = 256;
        for (int i = 0; i < 256; ++i) {
            format.colors[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                                static_cast<std::uint8_t>(i * 7), 0};
        }
    }
    auto image = std::make_unique<Image>();
    image->Allocate(format);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < image->bits.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        image->bits[i] = static_cast<std::uint8_t>((i / 3 + (state >> 28)) & 0xFF);
    }
    return image;
}

std::unique_ptr<Image> MakeCanvas(std::int32_t width, std::int32_t height) {
    veerpic::pixels::DibFormat format;
    format.width = width;
    format.height = height;
    format.bitCount = 24;
    auto image = std::make_unique<Image>();
    image->Allocate(format);
    return image;
}

void BM_Transfer30(benchmark::State& state) {
    const auto width = static_cast<std::int32_t>(state.range(0));
    const auto height = static_cast<std::int32_t>(state.range(1));
    const auto bitCount = static_cast<std::uint16_t>(state.range(2));
    // 0: portable, 1: SSSE3, 2: AVX2, 3: AVX-VNNI.
#if defined(__x86_64__) || defined(__i386__)
    const SampleRunFunction samplers[] = {SampleRunScalar, SampleRunSsse3, SampleRunAvx2,
                                          SampleRunAvxVnni};
    if ((state.range(3) == 1 && !ProcessorFeatures().ssse3) ||
        (state.range(3) == 2 && !ProcessorFeatures().avx2) ||
        (state.range(3) == 3 && !ProcessorFeatures().avxVnni)) {
        state.SkipWithError("not supported on this machine");
        return;
    }
#else
    const SampleRunFunction samplers[] = {SampleRunScalar};
    if (state.range(3) != 0) {
        state.SkipWithError("an x86 sampler");
        return;
    }
#endif
    const SampleRunFunction run = samplers[state.range(3)];
    const veerpic::RotationGeometry g = veerpic::ComputeRotationGeometry(width, height, 30.0);
    auto source = MakePicture(width, height, bitCount);
    auto canvas = MakeCanvas(g.canvasWidth, g.canvasHeight);
    const Point corners[3] = {{g.corners[0].x, g.corners[0].y},
                              {g.corners[1].x, g.corners[1].y},
                              {g.corners[2].x, g.corners[2].y}};
    for (auto _ : state) {
        TransferParallelogram(canvas->View(), corners, source->View(), {0, 0, width, height}, run);
        benchmark::ClobberMemory();
    }
    const double pixels = static_cast<double>(width) * height;
    // Nanoseconds per source pixel (shown with the unit "s" by the library).
    state.counters["ns_per_px"] = benchmark::Counter(
        pixels * 1e-9, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

}  // namespace

// Arguments: width, height, source bits per pixel, sampler (0 portable,
// 1 SSSE3, 2 AVX2, 3 AVX-VNNI).
BENCHMARK(BM_Transfer30)
    ->ArgNames({"w", "h", "bits", "sampler"})
    ->ArgsProduct({{1000}, {1000}, {24}, {0, 1, 2, 3}})
    ->ArgsProduct({{4000}, {3000}, {24, 8}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
