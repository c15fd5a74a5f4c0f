// Quintic B-spline interpolation: pixels come back exactly at their centres,
// a turned band-limited pattern stays within 40 dB of its exact image, a
// turned step rings no more than Lanczos-4, and the coefficients are the
// same bytes however the work is split and on every build.
#include "resample/bspline5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "resample/sampler.h"

namespace {

using namespace veerpic::resample;

struct Picture {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::uint8_t> bgr;  // top row first, no padding

    PixelRows Rows() const {
        return {width, height, 3 * std::size_t(width),
                [](const void* self, std::int32_t y, std::uint8_t* to) {
                    const auto* p = static_cast<const Picture*>(self);
                    std::copy_n(p->bgr.begin() + 3 * p->width * y, 3 * p->width, to);
                },
                this};
    }
};

template <typename Value>
Picture MakePicture(std::int32_t width, std::int32_t height, Value value) {
    Picture p{width, height, std::vector<std::uint8_t>(3 * std::size_t(width) * height)};
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                p.bgr[3 * (std::size_t(y) * width + x) + c] = value(x, y, c);
            }
        }
    }
    return p;
}

struct Coefficients {
    std::vector<std::int16_t> data;
    CoefficientPlane plane;
    explicit Coefficients(const Picture& p)
        : data(3 * std::size_t(p.width) * p.height),
          plane{data.data(), 3 * std::ptrdiff_t{p.width}, p.width, p.height} {}
};

Coefficients Prefiltered(const Picture& p) {
    Coefficients c(p);
    EXPECT_TRUE(Prefilter(p.Rows(), c.plane));
    return c;
}

std::int64_t Fixed(double position) {
    return std::llround(std::ldexp(position, 32));
}

TEST(BSpline5, WeightsAreTheSplinesWithinHalfAStepAndSumToOne) {
    for (int f = 0; f < BSpline5Kernel::kPhases; ++f) {
        const double t = f / 256.0, s = 1 - t;
        const double exact[6] = {
            s * s * s * s * s,
            26 - 50 * t + 20 * t * t + 20 * t * t * t - 20 * std::pow(t, 4) + 5 * std::pow(t, 5),
            66 - 60 * t * t + 30 * std::pow(t, 4) - 10 * std::pow(t, 5),
            26 + 50 * t + 20 * t * t - 20 * t * t * t - 20 * std::pow(t, 4) + 10 * std::pow(t, 5),
            1 + 5 * t + 10 * t * t + 10 * t * t * t + 5 * std::pow(t, 4) - 5 * std::pow(t, 5),
            std::pow(t, 5)};
        int sum = 0;
        for (int k = 0; k < 6; ++k) {
            const int w = kBSpline5Weights.weights[f][k];
            sum += w;
            EXPECT_GE(w, 0);
            EXPECT_NEAR(w, exact[k] / 120 * 32768, 1.0) << "phase " << f << " tap " << k;
        }
        EXPECT_EQ(sum, BSpline5Kernel::kWeightOne) << "phase " << f;
    }
}

// Sampling at every pixel centre gives the picture back, also where the
// coefficients are at their extremes (checkerboards, lone pixels) and at the
// mirrored edges.
TEST(BSpline5, PixelCentresGiveThePixelsBack) {
    std::mt19937 rng(5);
    const char* const contents[] = {"noise", "checkerboard", "columns", "rows", "lone pixels"};
    const std::int32_t sizes[][2] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {2, 9}, {3, 5}, {64, 48}};
    for (int content = 0; content < 5; ++content) {
        for (const auto& size : sizes) {
            const Picture p = MakePicture(size[0], size[1], [&](auto x, auto y, int c) {
                const int values[] = {static_cast<int>(rng() & 0xFF), ((x + y + c) & 1) * 255,
                                      (x & 1) * 255, (y & 1) ? 0 : 255,
                                      (x % 5 == 2 && y % 4 == 1) == (c == 1) ? 255 : 0};
                return static_cast<std::uint8_t>(values[content]);
            });
            const Coefficients coefficients = Prefiltered(p);
            std::vector<std::uint8_t> row(3 * std::size_t(p.width));
            for (std::int32_t y = 0; y < p.height; ++y) {
                SampleRunScalar(ViewOf(coefficients.plane), Fixed(0.5), Fixed(y + 0.5), Fixed(1), 0,
                                p.width, row.data());
                ASSERT_TRUE(std::equal(row.begin(), row.end(), p.bgr.begin() + row.size() * y))
                    << contents[content] << " " << size[0] << "x" << size[1] << " row " << y;
            }
        }
    }
}

// The prefilter's stages over parts give the same bytes as over the whole
// (threads may share them out), the portable and the vector code give the
// same bytes at every block size (very wide rows and tall columns take
// smaller blocks), and the bytes are the same on every build.
TEST(BSpline5, CoefficientsDoNotDependOnTheSplitNorOnTheBuild) {
    std::mt19937 rng(12);
    const std::int32_t sizes[][2] = {{37, 29}, {1, 1}, {9, 17}, {65537, 2}, {2, 16385}};
    for (const auto& size : sizes) {
        const Picture p = MakePicture(
            size[0], size[1], [&](auto, auto, int) { return static_cast<std::uint8_t>(rng()); });
        const Coefficients best = Prefiltered(p);
        Coefficients portable(p);
        ASSERT_TRUE(Prefilter(p.Rows(), portable.plane, PrefilterPath::kPortable));
        EXPECT_EQ(best.data, portable.data) << size[0] << "x" << size[1];
        Coefficients parts(p);
        const std::int32_t row = p.height / 3, column = p.width / 2;
        ASSERT_TRUE(PrefilterRows(p.Rows(), parts.plane, row, p.height));
        ASSERT_TRUE(PrefilterRows(p.Rows(), parts.plane, 0, row, PrefilterPath::kPortable));
        ASSERT_TRUE(PrefilterColumns(parts.plane, column, p.width, PrefilterPath::kPortable));
        ASSERT_TRUE(PrefilterColumns(parts.plane, 0, column));
        EXPECT_EQ(best.data, parts.data) << size[0] << "x" << size[1];
    }

    std::mt19937 hashed(11);
    const Picture p =
        MakePicture(37, 29, [&](auto, auto, int) { return static_cast<std::uint8_t>(hashed()); });
    const Coefficients whole = Prefiltered(p);
    std::uint64_t hash = 14695981039346656037u;  // FNV-1a over the little-endian values
    for (const std::int16_t v : whole.data) {
        for (const int shift : {0, 8}) {
            hash = (hash ^ ((static_cast<std::uint16_t>(v) >> shift) & 0xFF)) * 1099511628211u;
        }
    }
    EXPECT_EQ(hash, 6199992824464148263u);
}

// A window of a taller picture, its columns open where the picture goes on,
// gives the whole picture's coefficients to within one unit from 16 rows
// inside an open end (exactly at a closed one), with the portable and the
// vector code alike; on noise and on the hardest content, alternate rows of
// 0 and 255.
TEST(BSpline5, OpenWindowsMatchTheWholePictureFromTheirHorizonIn) {
    std::mt19937 rng(13);
    for (const bool stripes : {false, true}) {
        const Picture p = MakePicture(41, 300, [&](auto, auto y, int) {
            return static_cast<std::uint8_t>(stripes ? (y & 1) * 255 : rng());
        });
        const Coefficients whole = Prefiltered(p);
        const std::int32_t windows[][2] = {{0, 120}, {90, 210}, {200, 300}, {150, 190}};
        for (const auto& [top, end] : windows) {
            const ColumnEnds ends{top > 0, end < p.height};
            const Picture part{
                p.width,
                end - top,
                {p.bgr.begin() + 3 * p.width * top, p.bgr.begin() + 3 * p.width * end}};
            for (const auto path : {PrefilterPath::kBest, PrefilterPath::kPortable}) {
                Coefficients window(part);
                PrefilterMemory memory;
                ASSERT_TRUE(
                    PrefilterRows(part.Rows(), window.plane, 0, part.height, path, &memory));
                ASSERT_TRUE(PrefilterColumns(window.plane, 0, part.width, path, ends, &memory));
                const std::int32_t first = ends.openTop ? 16 : 0;
                const std::int32_t last = ends.openBottom ? part.height - 16 : part.height;
                int worst = 0;
                for (std::int32_t y = first; y < last; ++y) {
                    for (std::int32_t x = 0; x < 3 * part.width; ++x) {
                        worst = std::max(
                            worst, std::abs(window.plane.Row(y)[x] - whole.plane.Row(top + y)[x]));
                    }
                }
                EXPECT_LE(worst, 1) << top << ".." << end << (stripes ? " stripes" : " noise");
            }
        }
    }
}

// A band-limited pattern: a zone plate reaching 0.45 cycles per pixel in the
// corners, and three sinusoids up to 0.42 cycles per pixel.
double Pattern(double x, double y, std::int32_t width, std::int32_t height) {
    const double cx = (width - 1) / 2.0, cy = (height - 1) / 2.0;
    const double pi = 3.14159265358979323846;
    const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
    double v = 127.5 + 70 * std::cos(pi * 0.45 * r2 / std::hypot(cx, cy));
    const double waves[3][3] = {{0.11, 0.05, 0.3}, {0.31, -0.17, 1.1}, {0.05, 0.42, 2.0}};
    for (const auto& w : waves) {
        v += 18 * std::cos(2 * pi * (w[0] * x + w[1] * y) + w[2]);
    }
    return v;
}

// The picture turned about its centre by `degrees` onto its bounding box:
// for each canvas pixel wholly inside the picture and at least 4 pixels from
// its edges, the sample and the source position of the pixel's centre.
struct Turned {
    std::vector<std::uint8_t> samples;  // blue, green, red
    std::vector<double> x, y;           // in pixel indices (centres at integers)
};

Turned Turn(const Coefficients& coefficients, double degrees) {
    const CoefficientPlane& plane = coefficients.plane;
    const double theta = degrees * 3.14159265358979323846 / 180;
    const double c = std::cos(theta), s = std::sin(theta);
    const double w = plane.width, h = plane.height;
    const int canvasW = static_cast<int>(w * std::abs(c) + h * std::abs(s));
    const int canvasH = static_cast<int>(w * std::abs(s) + h * std::abs(c));
    Turned t;
    for (int j = 0; j < canvasH; ++j) {
        for (int i = 0; i < canvasW; ++i) {
            const double dx = i + 0.5 - canvasW / 2.0, dy = j + 0.5 - canvasH / 2.0;
            const double sx = c * dx + s * dy + w / 2, sy = -s * dx + c * dy + h / 2;
            if (sx < 4.5 || sy < 4.5 || sx > w - 4.5 || sy > h - 4.5) {
                continue;
            }
            std::uint8_t bgr[3];
            SampleRunScalar(ViewOf(plane), Fixed(sx), Fixed(sy), 0, 0, 1, bgr);
            t.samples.insert(t.samples.end(), bgr, bgr + 3);
            t.x.push_back(sx - 0.5);
            t.y.push_back(sy - 0.5);
        }
    }
    return t;
}

TEST(BSpline5, TurnedPatternIsWithin40dBOfItsExactImage) {
    const std::int32_t width = 160, height = 120;
    const Picture p = MakePicture(width, height, [&](auto x, auto y, int) {
        return static_cast<std::uint8_t>(std::lround(Pattern(x, y, width, height)));
    });
    const Coefficients coefficients = Prefiltered(p);
    for (const double degrees : {7.0, 30.0, 45.0, 73.0, -150.0}) {
        const Turned t = Turn(coefficients, degrees);
        ASSERT_GT(t.x.size(), 10000u);
        double squares = 0;
        for (std::size_t k = 0; k < t.x.size(); ++k) {
            const double e = t.samples[3 * k + 1] - Pattern(t.x[k], t.y[k], width, height);
            squares += e * e;
        }
        const double psnr =
            10 * std::log10(255.0 * 255.0 * static_cast<double>(t.x.size()) / squares);
        EXPECT_GE(psnr, 40.0) << degrees << " degrees";
    }
}

// A hard 64 / 192 step rings no further than 46 .. 210 at any angle, and
// the flat sides come through as they are.
TEST(BSpline5, TurnedStepRingsWithinBounds) {
    const Picture p = MakePicture(
        96, 80, [](auto x, auto, int) { return static_cast<std::uint8_t>(x < 48 ? 64 : 192); });
    const Coefficients coefficients = Prefiltered(p);
    for (const double degrees : {0.0, 7.0, 30.0, 45.0, 90.5}) {
        const Turned t = Turn(coefficients, degrees);
        const auto [low, high] = std::minmax_element(t.samples.begin(), t.samples.end());
        EXPECT_GE(*low, 46) << degrees << " degrees";
        EXPECT_LE(*high, 210) << degrees << " degrees";
        for (std::size_t k = 0; k < t.x.size(); ++k) {
            if (std::abs(t.x[k] - 47.5) > 12) {
                ASSERT_EQ(t.samples[3 * k], t.x[k] < 47.5 ? 64 : 192) << degrees << " degrees";
            }
        }
    }
}

}  // namespace
