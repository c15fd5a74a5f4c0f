// The parallelogram transfer with halftone stretching: exact quarter turns and
// identity, soft edges, untouched surroundings, the SIMD samplers against the
// portable one, hostile corner points.
#include "resample/transfer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "pixels/image.h"
#include "pixels/row_codec.h"

namespace {

using namespace veerpic::resample;
using veerpic::pixels::BI_BITFIELDS;
using veerpic::pixels::BI_RGB;
using veerpic::pixels::DibFormat;
using veerpic::pixels::Image;
using BYTE = std::uint8_t;
using DWORD = std::uint32_t;
using POINT = Point;
using Bitmap = std::unique_ptr<Image>;
using GdiBitmap = Image;

Bitmap NewImage(const DibFormat& f) {
    auto image = std::make_unique<Image>();
    EXPECT_EQ(image->Allocate(f), veerpic::pixels::Status::kOk);
    return image;
}

std::uint8_t* RowOf(Image& b, std::int32_t y) {
    return b.View().RowFromTop(y);
}
const std::uint8_t* RowOf(const Image& b, std::int32_t y) {
    return const_cast<Image&>(b).View().RowFromTop(y);
}

struct Layout {
    std::uint16_t bitCount;
    DWORD redMask = 0, greenMask = 0, blueMask = 0;
};

// A section of the layout, filled with random bytes (a random colour table
// for palettes).
Bitmap MakeSection(std::int32_t width, std::int32_t height, Layout layout, bool topDown,
                   std::mt19937& rng) {
    DibFormat f;
    f.width = width;
    f.height = height;
    f.topDown = topDown;
    f.bitCount = layout.bitCount;
    f.compression = layout.redMask != 0 ? BI_BITFIELDS : BI_RGB;
    f.redMask = layout.redMask;
    f.greenMask = layout.greenMask;
    f.blueMask = layout.blueMask;
    if (layout.bitCount == 32 && layout.redMask == 0) {
        f.redMask = 0xFF0000;
        f.greenMask = 0xFF00;
        f.blueMask = 0xFF;
    }
    if (layout.bitCount == 16 && layout.redMask == 0) {
        f.redMask = 0x7C00;
        f.greenMask = 0x3E0;
        f.blueMask = 0x1F;
    }
    if (layout.bitCount <= 8) {
        f.colorCount = 1u << layout.bitCount;
        for (std::uint32_t i = 0; i < f.colorCount; ++i) {
            f.colors[i] = {static_cast<BYTE>(rng()), static_cast<BYTE>(rng()),
                           static_cast<BYTE>(rng()), 0};
        }
    }
    Bitmap b = NewImage(f);
    EXPECT_NE(b, nullptr);
    for (std::uint8_t& byte : b->bits) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return b;
}

// A 24-bit bottom-up canvas filled with one colour.
Bitmap MakeCanvas(std::int32_t width, std::int32_t height, std::uint8_t fill = 0) {
    DibFormat f;
    f.width = width;
    f.height = height;
    f.bitCount = 24;
    Bitmap b = NewImage(f);
    EXPECT_NE(b, nullptr);
    std::fill(b->bits.begin(), b->bits.end(), fill);
    return b;
}

Bitmap MakeConstant(std::int32_t width, std::int32_t height, std::uint8_t b, std::uint8_t g,
                    std::uint8_t r) {
    Bitmap s = MakeCanvas(width, height);
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint8_t* row = RowOf(*s, y);
        for (std::int32_t x = 0; x < width; ++x) {
            row[3 * x] = b;
            row[3 * x + 1] = g;
            row[3 * x + 2] = r;
        }
    }
    return s;
}

// Blue, green, red of every pixel, rows from the top.
std::vector<std::array<std::uint8_t, 3>> Pixels(const GdiBitmap& b) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(b.format.width) * 4);
    std::vector<std::array<std::uint8_t, 3>> out;
    for (std::int32_t y = 0; y < b.format.height; ++y) {
        veerpic::pixels::RowCodec(b.format).Unpack(RowOf(b, y), row.size() / 4, row.data());
        for (std::int32_t x = 0; x < b.format.width; ++x) {
            out.push_back({row[4 * x], row[4 * x + 1], row[4 * x + 2]});
        }
    }
    return out;
}

std::array<std::uint8_t, 3> PixelAt(const GdiBitmap& b, std::int32_t x, std::int32_t y) {
    const std::uint8_t* p = RowOf(b, y) + 3 * x;
    return {p[0], p[1], p[2]};
}

void Draw(GdiBitmap& dest, POINT p0, POINT p1, POINT p2, const GdiBitmap& source,
          bool simd = true) {
    const POINT points[3] = {p0, p1, p2};
    TransferParallelogram(dest.View(), points, const_cast<GdiBitmap&>(source).View(),
                          {0, 0, source.format.width, source.format.height}, simd);
}

// Signed distances of the centre of pixel (x, y) to the four edges of the
// parallelogram, positive inside, in double precision.
std::array<double, 4> EdgeDistances(POINT p0, POINT p1, POINT p2, double x, double y) {
    const double ax = p1.x - p0.x, ay = p1.y - p0.y, bx = p2.x - p0.x, by = p2.y - p0.y;
    const double d = ax * by - ay * bx;
    const double px = x + 0.5 - p0.x, py = y + 0.5 - p0.y;
    const double s = (px * by - py * bx) / d;  // along A
    const double t = (ax * py - ay * px) / d;  // along B
    const double la = std::hypot(ax, ay), lb = std::hypot(bx, by);
    const double wa = std::fabs(d) / lb;  // the parallelogram's width across the B edges
    const double wb = std::fabs(d) / la;
    return {s * wa, (1 - s) * wa, t * wb, (1 - t) * wb};
}

double Coverage(const std::array<double, 4>& dist) {
    double c = 1;
    for (double e : dist) {
        c *= std::clamp(e + 0.5, 0.0, 1.0);
    }
    return c;
}

// The SIMD samplers this machine can run.
std::vector<std::pair<const char*, SampleRunFunction>> SimdSamplers() {
    std::vector<std::pair<const char*, SampleRunFunction>> samplers;
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("ssse3")) {
        samplers.emplace_back("SSSE3", SampleRunSsse3);
    }
    if (__builtin_cpu_supports("avx2")) {
        samplers.emplace_back("AVX2", SampleRunAvx2);
    }
#endif
    return samplers;
}

// ------------------------------------------------------------ exact mappings

struct LayoutCase {
    const char* name;
    Layout layout;
    bool topDown;
};

const LayoutCase kLayouts[] = {
    {"1-bit", {1}, false},
    {"4-bit", {4}, true},
    {"8-bit", {8}, false},
    {"16-bit 5-5-5", {16}, true},
    {"16-bit 5-6-5", {16, 0xF800, 0x07E0, 0x001F}, false},
    {"24-bit", {24}, false},
    {"24-bit top-down", {24}, true},
    {"32-bit", {32}, false},
    {"32-bit masks", {32, 0x3FF00000, 0x000FFC00, 0x000003FF}, true},
};

TEST(HalftoneParallelogram, IdentityReproducesEveryLayout) {
    std::mt19937 rng(1);
    for (const LayoutCase& c : kLayouts) {
        for (const bool simd : {false, true}) {
            const std::int32_t w = 37, h = 23;
            Bitmap source = MakeSection(w, h, c.layout, c.topDown, rng);
            Bitmap canvas = MakeCanvas(w, h, 0x5A);
            Draw(*canvas, {0, 0}, {w, 0}, {0, h}, *source, simd);
            EXPECT_EQ(Pixels(*canvas), Pixels(*source)) << c.name << (simd ? " SIMD" : "");
        }
    }
}

// Exact quarter turns and mirrors: with corners on whole pixels, every pixel
// of the canvas is one source pixel.
TEST(HalftoneParallelogram, QuarterTurnsAndMirrorsPermutePixels) {
    const std::int32_t w = 7, h = 5;
    struct Case {
        const char* name;
        std::int32_t canvasW, canvasH;
        POINT p0, p1, p2;
        // The source pixel shown at canvas pixel (x, y).
        std::array<std::int32_t, 2> (*from)(std::int32_t x, std::int32_t y);
    };
    const Case cases[] = {
        {"90",
         h,
         w,
         {h, 0},
         {h, w},
         {0, 0},
         [](std::int32_t x, std::int32_t y) {
             return std::array<std::int32_t, 2>{y, h - 1 - x};
         }},
        {"180",
         w,
         h,
         {w, h},
         {0, h},
         {w, 0},
         [](std::int32_t x, std::int32_t y) {
             return std::array<std::int32_t, 2>{w - 1 - x, h - 1 - y};
         }},
        {"270",
         h,
         w,
         {0, w},
         {0, 0},
         {h, w},
         [](std::int32_t x, std::int32_t y) {
             return std::array<std::int32_t, 2>{w - 1 - y, x};
         }},
        {"mirror",
         w,
         h,
         {w, 0},
         {0, 0},
         {w, h},
         [](std::int32_t x, std::int32_t y) {
             return std::array<std::int32_t, 2>{w - 1 - x, y};
         }},
        {"flip",
         w,
         h,
         {0, h},
         {w, h},
         {0, 0},
         [](std::int32_t x, std::int32_t y) {
             return std::array<std::int32_t, 2>{x, h - 1 - y};
         }},
    };
    std::mt19937 rng(2);
    Bitmap source = MakeSection(w, h, {24}, false, rng);
    for (const Case& c : cases) {
        for (const bool simd : {false, true}) {
            Bitmap canvas = MakeCanvas(c.canvasW, c.canvasH);
            Draw(*canvas, c.p0, c.p1, c.p2, *source, simd);
            for (std::int32_t y = 0; y < c.canvasH; ++y) {
                for (std::int32_t x = 0; x < c.canvasW; ++x) {
                    const auto at = c.from(x, y);
                    EXPECT_EQ(PixelAt(*canvas, x, y), PixelAt(*source, at[0], at[1]))
                        << c.name << " at " << x << "," << y;
                }
            }
        }
    }
}

TEST(HalftoneParallelogram, ZeroAreaDrawsNothing) {
    std::mt19937 rng(3);
    Bitmap source = MakeSection(10, 10, {24}, false, rng);
    const POINT cases[][3] = {
        {{3, 3}, {9, 4}, {3, 3}},  // P2 on P0
        {{3, 3}, {3, 3}, {4, 9}},  // P1 on P0
        {{0, 0}, {4, 4}, {8, 8}},  // all on one line
        {{5, 5}, {5, 5}, {5, 5}},  // one point
    };
    for (const auto& p : cases) {
        Bitmap canvas = MakeCanvas(12, 12, 0x33);
        Draw(*canvas, p[0], p[1], p[2], *source);
        const auto pixels = Pixels(*canvas);
        EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](const auto& px) {
            return px == std::array<std::uint8_t, 3>{0x33, 0x33, 0x33};
        }));
    }
}

// A white picture on a grey canvas shows the coverage of each pixel: the
// canvas untouched outside, exactly white where the coverage is full, and in
// between the product of the four edge terms, which rises and falls once
// along a row. Fixed shapes, then random corners.
TEST(HalftoneParallelogram, EdgesBlendByCoverage) {
    std::vector<std::array<POINT, 3>> cases = {
        {{{15, 2}, {46, 20}, {3, 23}}},    // about 30 degrees
        {{{30, 40}, {2, 30}, {40, 8}}},    // mirrored orientation
        {{{10, 10}, {40, 11}, {11, 40}}},  // nearly square, shallow edges
        {{{5, 30}, {45, 10}, {6, 31}}},    // a sliver 1.3 pixels wide
    };
    std::mt19937 rng(4);
    std::uniform_int_distribution<std::int32_t> coord(-20, 70);
    while (cases.size() < 40) {
        cases.push_back(
            {{{coord(rng), coord(rng)}, {coord(rng), coord(rng)}, {coord(rng), coord(rng)}}});
    }
    constexpr int kGrey = 0x40;
    Bitmap source = MakeConstant(9, 6, 255, 255, 255);
    for (const auto& [p0, p1, p2] : cases) {
        if (static_cast<std::int64_t>(p1.x - p0.x) * (p2.y - p0.y) ==
            static_cast<std::int64_t>(p1.y - p0.y) * (p2.x - p0.x)) {
            continue;
        }
        Bitmap canvas = MakeCanvas(50, 45, kGrey);
        Draw(*canvas, p0, p1, p2, *source, true);
        for (std::int32_t y = 0; y < 45; ++y) {
            for (std::int32_t x = 0; x < 50; ++x) {
                const auto dist = EdgeDistances(p0, p1, p2, x, y);
                const double lowest = *std::min_element(dist.begin(), dist.end());
                const auto pixel = PixelAt(*canvas, x, y);
                ASSERT_TRUE(pixel[0] == pixel[1] && pixel[1] == pixel[2]);
                if (lowest <= -0.5 - 1e-9) {
                    EXPECT_EQ(pixel[1], kGrey) << x << "," << y;
                } else if (lowest >= 0.5 + 1e-9) {
                    EXPECT_EQ(pixel[1], 255) << x << "," << y;
                } else {
                    EXPECT_NEAR(pixel[1], kGrey + (255 - kGrey) * Coverage(dist), 1.5)
                        << x << "," << y;
                }
            }
            int peak = 0;
            for (std::int32_t x = 1; x < 50; ++x) {
                if (PixelAt(*canvas, x, y)[1] > PixelAt(*canvas, peak, y)[1]) {
                    peak = x;
                }
            }
            for (std::int32_t x = 1; x < 50; ++x) {
                const int before = PixelAt(*canvas, x - 1, y)[1];
                const int here = PixelAt(*canvas, x, y)[1];
                EXPECT_TRUE(x <= peak ? before <= here : before >= here) << x << "," << y;
            }
        }
    }
}

// Inside the picture a smooth source comes out as its own values at the
// mapped-back positions: the geometry puts every sample where it belongs.
TEST(HalftoneParallelogram, InteriorFollowsTheMappedBackPositions) {
    const std::int32_t w = 40, h = 30;
    auto smooth = [](double x, double y, int c) {
        return 127.5 + 100 * std::sin(0.31 * x + 0.17 * y + c) * std::cos(0.05 * x - 0.23 * y);
    };
    Bitmap source = MakeCanvas(w, h);
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                RowOf(*source, y)[3 * x + c] =
                    static_cast<std::uint8_t>(std::lround(smooth(x, y, c)));
            }
        }
    }
    const POINT p0{25, 1}, p1{61, 19}, p2{10, 27};
    Bitmap canvas = MakeCanvas(75, 50);
    Draw(*canvas, p0, p1, p2, *source);
    const double ax = p1.x - p0.x, ay = p1.y - p0.y, bx = p2.x - p0.x, by = p2.y - p0.y;
    const double d = ax * by - ay * bx;
    int checked = 0;
    for (std::int32_t y = 0; y < 50; ++y) {
        for (std::int32_t x = 0; x < 75; ++x) {
            const auto dist = EdgeDistances(p0, p1, p2, x, y);
            if (*std::min_element(dist.begin(), dist.end()) < 0.5) {
                continue;
            }
            const double px = x + 0.5 - p0.x, py = y + 0.5 - p0.y;
            const double u = (px * by - py * bx) / d * w - 0.5;
            const double v = (ax * py - ay * px) / d * h - 0.5;
            if (u < 3 || v < 3 || u > w - 4 || v > h - 4) {
                continue;  // the mirrored edges are no smooth continuation
            }
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(PixelAt(*canvas, x, y)[c], smooth(u, v, c), 1.5)
                    << x << "," << y << " channel " << c;
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 300);
}

// Any number of threads gives the same bytes, on every destination layout.
TEST(HalftoneParallelogram, ThreadsDoNotChangeAByte) {
    std::mt19937 rng(9);
    for (const LayoutCase& c : kLayouts) {
        Bitmap source = MakeSection(300, 200, c.layout, c.topDown, rng);
        const POINT points[3] = {{120, -3}, {380, 140}, {20, 170}};
        Bitmap one = MakeCanvas(400, 700, 0x33);
        TransferParallelogram(one->View(), points, source->View(), {0, 0, 300, 200},
                              ChooseSampleRun(true), 1);
        for (const int threads : {2, 7}) {
            Bitmap many = MakeCanvas(400, 700, 0x33);
            TransferParallelogram(many->View(), points, source->View(), {0, 0, 300, 200},
                                  ChooseSampleRun(true), threads);
            EXPECT_EQ(one->bits, many->bits) << c.name << " " << threads << " threads";
        }
    }
}

TEST(HalftoneParallelogram, SubRectangleActsAsItsOwnPicture) {
    std::mt19937 rng(5);
    for (const LayoutCase& c : kLayouts) {
        Bitmap whole = MakeSection(30, 20, c.layout, c.topDown, rng);
        const int xSrc = 7, ySrc = 4, w = 13, h = 11;
        // The same pixels as a picture of their own.
        Bitmap part = MakeCanvas(w, h);
        const auto pixels = Pixels(*whole);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const auto& p = pixels[static_cast<std::size_t>((ySrc + y) * 30 + xSrc + x)];
                std::memcpy(RowOf(*part, y) + 3 * x, p.data(), 3);
            }
        }
        const POINT points[3] = {{9, 0}, {31, 8}, {2, 17}};
        Bitmap fromWhole = MakeCanvas(34, 26, 0x11);
        Bitmap fromPart = MakeCanvas(34, 26, 0x11);
        TransferParallelogram(fromWhole->View(), points, whole->View(), {xSrc, ySrc, w, h}, true);
        TransferParallelogram(fromPart->View(), points, part->View(), {0, 0, w, h}, true);
        EXPECT_EQ(Pixels(*fromWhole), Pixels(*fromPart)) << c.name;
    }
}

// ------------------------------------------------------------- SIMD samplers

TEST(HalftoneParallelogram, SimdAndPortableGiveTheSameBytes) {
    const auto samplers = SimdSamplers();
    if (samplers.empty()) {
        GTEST_SKIP() << "no SIMD sampler on this machine";
    }
    std::mt19937 rng(6);
    std::uniform_int_distribution<int> layoutPick(0, std::size(kLayouts) - 1);
    std::uniform_int_distribution<std::int32_t> size(1, 70);
    for (int n = 0; n < 150; ++n) {
        const LayoutCase& c = kLayouts[layoutPick(rng)];
        const std::int32_t w = size(rng), h = size(rng);
        const std::int32_t cw = size(rng) + 5, ch = size(rng) + 5;
        std::uniform_int_distribution<std::int32_t> coord(-cw / 2, cw + cw / 2);
        Bitmap source = MakeSection(w, h, c.layout, c.topDown, rng);
        const POINT points[3] = {
            {coord(rng), coord(rng)}, {coord(rng), coord(rng)}, {coord(rng), coord(rng)}};
        Bitmap portable = MakeCanvas(cw, ch, 0x42);
        TransferParallelogram(portable->View(), points, source->View(), {0, 0, w, h},
                              SampleRunScalar);
        for (const auto& [name, run] : samplers) {
            Bitmap simd = MakeCanvas(cw, ch, 0x42);
            TransferParallelogram(simd->View(), points, source->View(), {0, 0, w, h}, run);
            ASSERT_EQ(std::memcmp(portable->bits.data(), simd->bits.data(), portable->bits.size()),
                      0)
                << name << " " << c.name << " " << w << "x" << h << " points " << points[0].x << ","
                << points[0].y << " " << points[1].x << "," << points[1].y << " " << points[2].x
                << "," << points[2].y;
        }
    }
}

// Each sampler on runs that start anywhere, step anyhow and cross the edges,
// over coefficients of any value (the 16-bit extremes included).
TEST(SampleRun, EverySamplerMatchesThePortableOne) {
    const auto samplers = SimdSamplers();
    if (samplers.empty()) {
        GTEST_SKIP() << "no SIMD sampler on this machine";
    }
    std::mt19937 rng(7);
    std::mt19937_64 rng64(8);
    for (const bool extremes : {false, true}) {
        const std::int32_t w = 23, h = 17;
        std::vector<std::int16_t> coefficients(3 * std::size_t{w} * h);
        for (auto& c : coefficients) {
            c = static_cast<std::int16_t>(extremes
                                              ? ((rng() & 1) ? 32767 : -32768)
                                              : static_cast<std::int32_t>(rng() % 2048) - 1024);
        }
        const SampleSource s = ViewOf({coefficients.data(), 3 * w, w, h});
        for (int n = 0; n < 400; ++n) {
            const std::int64_t u = static_cast<std::int64_t>(rng64() % (40ull << 32)) - (8ll << 32);
            const std::int64_t v = static_cast<std::int64_t>(rng64() % (30ull << 32)) - (6ll << 32);
            const std::int64_t du = static_cast<std::int64_t>(rng64() % (4ull << 32)) - (2ll << 32);
            const std::int64_t dv = static_cast<std::int64_t>(rng64() % (4ull << 32)) - (2ll << 32);
            const std::int32_t count = static_cast<std::int32_t>(rng() % 40) + 1;
            std::vector<std::uint8_t> expected(3 * count + 8, 0xEE);
            SampleRunScalar(s, u, v, du, dv, count, expected.data());
            for (const auto& [name, run] : samplers) {
                std::vector<std::uint8_t> got(3 * count + 8, 0xEE);
                run(s, u, v, du, dv, count, got.data());
                ASSERT_EQ(got, expected) << name << (extremes ? " extremes" : "") << " run " << n;
            }
        }
    }
}

// ------------------------------------------------------------ hostile input

TEST(HalftoneParallelogram, FarAndHugeCornersAreClippedQuickly) {
    Bitmap source = MakeConstant(5, 4, 1, 2, 3);
    const std::int32_t big = 1 << 30;
    const std::int32_t top = 2147483647, bottom = -2147483647 - 1;
    struct Case {
        POINT p0, p1, p2;
        bool coversCanvas;
    };
    const Case cases[] = {
        {{-big, -big}, {big, -big}, {-big, big}, true},
        {{big, big}, {-big, big}, {big, -big}, true},
        {{bottom, bottom}, {top, bottom}, {bottom, top}, true},
        {{top, top}, {bottom, bottom}, {top, bottom}, false},  // a half plane
        {{big, big}, {big + 5, big}, {big, big + 5}, false},   // far away
        {{-big, 3}, {big, 4}, {-big, 5}, false},               // a long thin strip
        {{bottom, 0}, {top, 1}, {bottom, 1}, false},
        {{0, 0}, {1, 0}, {0, top}, false},  // a one-pixel column, very tall
    };
    for (const Case& c : cases) {
        for (const bool simd : {false, true}) {
            Bitmap canvas = MakeCanvas(31, 29, 0x66);
            Draw(*canvas, c.p0, c.p1, c.p2, *source, simd);
            if (c.coversCanvas) {
                const auto pixels = Pixels(*canvas);
                EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(), [](const auto& px) {
                    return px == std::array<std::uint8_t, 3>{1, 2, 3};
                }));
            }
        }
    }
}

// Destinations other than 24 bits: the same picture, encoded in their format.
TEST(HalftoneParallelogram, OtherDestinationFormats) {
    std::mt19937 rng(10);
    Bitmap source = MakeSection(9, 7, {8}, false, rng);
    for (int i = 0; i < 256; ++i) {  // distinct colours
        source->format.colors[i] = {static_cast<BYTE>(i), static_cast<BYTE>(255 - i),
                                    static_cast<BYTE>(i * 7), 0};
    }
    // An 8-bit destination with the source's colour table takes its indices.
    DibFormat f = source->format;
    Bitmap paletted = NewImage(f);
    Draw(*paletted, {0, 0}, {9, 0}, {0, 7}, *source);
    for (std::int32_t y = 0; y < 7; ++y) {
        EXPECT_EQ(std::memcmp(RowOf(*paletted, y), RowOf(*source, y), 9), 0) << y;
    }
    // A 32-bit one holds the colours.
    f.bitCount = 32;
    f.colorCount = 0;
    f.redMask = 0xFF0000;
    f.greenMask = 0xFF00;
    f.blueMask = 0xFF;
    Bitmap wide = NewImage(f);
    Draw(*wide, {0, 0}, {9, 0}, {0, 7}, *source);
    EXPECT_EQ(Pixels(*wide), Pixels(*source));
}

// The working block comes from the memory given, goes back to it, and a
// refusal ends the transfer with nothing drawn.
TEST(HalftoneParallelogram, WorkingMemoryComesFromTheCallerAndGoesBack) {
    static int live = 0;
    static bool refuse = false;
    const WorkingMemory memory{[](std::size_t bytes) -> void* {
                                   if (refuse) {
                                       return nullptr;
                                   }
                                   ++live;
                                   return std::malloc(bytes);
                               },
                               [](void* block) {
                                   --live;
                                   std::free(block);
                               }};
    Bitmap source = MakeConstant(9, 7, 10, 20, 30);
    const POINT points[3] = {{3, 0}, {12, 4}, {0, 7}};
    for (const bool refused : {false, true}) {
        refuse = refused;
        Bitmap canvas = MakeCanvas(14, 12, 0x77);
        const auto status = TransferParallelogram(canvas->View(), points, source->View(),
                                                  {0, 0, 9, 7}, true, &memory);
        EXPECT_EQ(live, 0);
        if (refused) {
            EXPECT_EQ(status, veerpic::pixels::Status::kOutOfMemory);
            EXPECT_EQ(canvas->bits, MakeCanvas(14, 12, 0x77)->bits);
        } else {
            EXPECT_EQ(status, veerpic::pixels::Status::kOk);
            EXPECT_EQ(PixelAt(*canvas, 6, 5), (std::array<std::uint8_t, 3>{10, 20, 30}));
        }
    }
}

// A source wider than the transfer's positions can hold is refused, never
// drawn as nothing. Only the format is looked at before the refusal.
TEST(HalftoneParallelogram, RefusesASourceTooWideToDraw) {
    DibFormat wide;
    wide.width = static_cast<std::int32_t>(kMaxSourceSide + 1);
    wide.height = 1;
    wide.bitCount = 1;
    std::uint8_t byte = 0;
    Bitmap canvas = MakeCanvas(4, 4);
    const Point points[3] = {{0, 0}, {4, 0}, {0, 4}};
    EXPECT_EQ(
        TransferParallelogram(canvas->View(), points, {&wide, &byte}, {0, 0, wide.width, 1}, true),
        veerpic::pixels::Status::kTooLarge);
}

}  // namespace
