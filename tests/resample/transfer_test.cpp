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
#include "resample/cpu_features.h"
#include "rotate/geometry.h"
#include "support/test_support.h"

namespace {

using namespace veerpic::resample;
using veerpic::pixels::BI_BITFIELDS;
using veerpic::pixels::BI_RGB;
using veerpic::pixels::DibFormat;
using veerpic::pixels::Image;
using Bitmap = std::unique_ptr<Image>;
using Colour = std::array<std::uint8_t, 3>;  // blue, green, red

Bitmap NewImage(const DibFormat& f) {
    auto image = std::make_unique<Image>();
    EXPECT_EQ(image->Allocate(f), veerpic::pixels::Status::kOk);
    return image;
}

std::uint8_t* RowOf(const Image& b, std::int32_t y) {
    return const_cast<Image&>(b).View().RowFromTop(y);
}

struct Layout {
    std::uint16_t bitCount;
    std::uint32_t redMask = 0, greenMask = 0, blueMask = 0;
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
    if ((layout.bitCount == 16 || layout.bitCount == 32) && layout.redMask == 0) {
        const bool wide = layout.bitCount == 32;  // 8-8-8, else 5-5-5
        f.redMask = wide ? 0xFF0000 : 0x7C00;
        f.greenMask = wide ? 0xFF00 : 0x3E0;
        f.blueMask = wide ? 0xFF : 0x1F;
    }
    if (layout.bitCount <= 8) {
        f.colorCount = 1u << layout.bitCount;
        for (std::uint32_t i = 0; i < f.colorCount; ++i) {
            f.colors[i] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                           static_cast<std::uint8_t>(rng()), 0};
        }
    }
    Bitmap b = NewImage(f);
    for (std::uint8_t& byte : b->bits) {
        byte = static_cast<std::uint8_t>(rng());
    }
    return b;
}

// A 24-bit bottom-up canvas filled with one grey, or one colour.
Bitmap MakeCanvas(std::int32_t width, std::int32_t height, std::uint8_t fill = 0) {
    DibFormat f;
    f.width = width;
    f.height = height;
    f.bitCount = 24;
    Bitmap b = NewImage(f);
    std::fill(b->bits.begin(), b->bits.end(), fill);
    return b;
}

Bitmap MakeCanvas(std::int32_t width, std::int32_t height, Colour colour) {
    Bitmap b = MakeCanvas(width, height);
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x) {
            std::memcpy(RowOf(*b, y) + 3 * x, colour.data(), 3);
        }
    }
    return b;
}

// Blue, green, red of every pixel, rows from the top.
std::vector<Colour> Pixels(const Image& b) {
    std::vector<std::uint8_t> row(static_cast<std::size_t>(b.format.width) * 4);
    std::vector<Colour> out;
    for (std::int32_t y = 0; y < b.format.height; ++y) {
        veerpic::pixels::RowCodec(b.format).Unpack(RowOf(b, y), row.size() / 4, row.data());
        for (std::int32_t x = 0; x < b.format.width; ++x) {
            out.push_back({row[4 * x], row[4 * x + 1], row[4 * x + 2]});
        }
    }
    return out;
}

Colour PixelAt(const Image& b, std::int32_t x, std::int32_t y) {
    const std::uint8_t* p = RowOf(b, y) + 3 * x;
    return {p[0], p[1], p[2]};
}

void Draw(Image& dest, Point p0, Point p1, Point p2, const Image& source, bool simd = true) {
    const Point points[3] = {p0, p1, p2};
    TransferParallelogram(dest.View(), points, const_cast<Image&>(source).View(),
                          {0, 0, source.format.width, source.format.height}, simd);
}

// Where the centre of pixel (x, y) lies in the parallelogram: 0 .. 1 along
// A = P1 - P0 and along B = P2 - P0.
std::array<double, 2> Parameters(Point p0, Point p1, Point p2, double x, double y) {
    const double ax = p1.x - p0.x, ay = p1.y - p0.y, bx = p2.x - p0.x, by = p2.y - p0.y;
    const double d = ax * by - ay * bx;
    const double px = x + 0.5 - p0.x, py = y + 0.5 - p0.y;
    return {(px * by - py * bx) / d, (ax * py - ay * px) / d};
}

// Signed distances of the centre of pixel (x, y) to the four edges of the
// parallelogram, positive inside, in double precision.
std::array<double, 4> EdgeDistances(Point p0, Point p1, Point p2, double x, double y) {
    const double ax = p1.x - p0.x, ay = p1.y - p0.y, bx = p2.x - p0.x, by = p2.y - p0.y;
    const double d = ax * by - ay * bx;
    const auto [s, t] = Parameters(p0, p1, p2, x, y);
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
    if (ProcessorFeatures().ssse3) {
        samplers.emplace_back("SSSE3", SampleRunSsse3);
    }
    if (ProcessorFeatures().avx2) {
        samplers.emplace_back("AVX2", SampleRunAvx2);
    }
    if (ProcessorFeatures().avxVnni) {
        samplers.emplace_back("AVX-VNNI", SampleRunAvxVnni);
    }
#elif defined(__aarch64__)
    samplers.emplace_back("NEON", SampleRunNeon);
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

// Identity, exact quarter turns and mirrors, from every layout, on a source
// too small for the unmirrored taps, on a larger one and on ones of several
// bands (one of them a pixel wide): with corners on whole pixels, every pixel of the canvas is one
// source pixel.
TEST(HalftoneParallelogram, QuarterTurnsAndMirrorsPermutePixels) {
    struct Case {
        const char* name;
        std::int32_t canvasW, canvasH;
        Point p0, p1, p2;
        // Canvas pixel (x, y) shows source pixel (m0 x + m1 y + m2, m3 x + m4 y + m5).
        std::int32_t m[6];
    };
    std::mt19937 rng(1);
    for (const auto [w, h] : {std::array<std::int32_t, 2>{7, 5}, {37, 23}, {3, 700}, {1, 600}}) {
        const Case cases[] = {
            {"identity", w, h, {0, 0}, {w, 0}, {0, h}, {1, 0, 0, 0, 1, 0}},
            {"90", h, w, {h, 0}, {h, w}, {0, 0}, {0, 1, 0, -1, 0, h - 1}},
            {"180", w, h, {w, h}, {0, h}, {w, 0}, {-1, 0, w - 1, 0, -1, h - 1}},
            {"270", h, w, {0, w}, {0, 0}, {h, w}, {0, -1, w - 1, 1, 0, 0}},
            {"mirror", w, h, {w, 0}, {0, 0}, {w, h}, {-1, 0, w - 1, 0, 1, 0}},
            {"flip", w, h, {0, h}, {w, h}, {0, 0}, {1, 0, 0, 0, -1, h - 1}},
        };
        for (const LayoutCase& layout : kLayouts) {
            Bitmap source = MakeSection(w, h, layout.layout, layout.topDown, rng);
            const auto pixels = Pixels(*source);
            for (const Case& c : cases) {
                std::vector<Colour> expected;
                for (std::int32_t y = 0; y < c.canvasH; ++y) {
                    for (std::int32_t x = 0; x < c.canvasW; ++x) {
                        const std::int32_t* m = c.m;
                        expected.push_back(pixels[static_cast<std::size_t>(
                            (m[3] * x + m[4] * y + m[5]) * w + m[0] * x + m[1] * y + m[2])]);
                    }
                }
                for (const bool simd : {false, true}) {
                    Bitmap canvas = MakeCanvas(c.canvasW, c.canvasH, 0x5A);
                    Draw(*canvas, c.p0, c.p1, c.p2, *source, simd);
                    EXPECT_EQ(Pixels(*canvas), expected) << w << "x" << h << " " << layout.name
                                                         << " " << c.name << (simd ? " SIMD" : "");
                }
            }
        }
    }
}

// A white picture on a grey canvas shows the coverage of each pixel: the
// canvas untouched outside, exactly white where the coverage is full, and in
// between the product of the four edge terms, which rises and falls once
// along a row. Fixed shapes, then random corners.
TEST(HalftoneParallelogram, EdgesBlendByCoverage) {
    std::vector<std::array<Point, 3>> cases = {
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
    Bitmap source = MakeCanvas(9, 6, 255);
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
    const Point p0{25, 1}, p1{61, 19}, p2{10, 27};
    Bitmap canvas = MakeCanvas(75, 50);
    Draw(*canvas, p0, p1, p2, *source);
    int checked = 0;
    for (std::int32_t y = 0; y < 50; ++y) {
        for (std::int32_t x = 0; x < 75; ++x) {
            const auto dist = EdgeDistances(p0, p1, p2, x, y);
            if (*std::min_element(dist.begin(), dist.end()) < 0.5) {
                continue;
            }
            const auto [s, t] = Parameters(p0, p1, p2, x, y);
            const double u = s * w - 0.5, v = t * h - 0.5;
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

// The corners of a turn of a w x h picture by `degrees`, and its canvas.
struct Turn {
    Point points[3];
    std::int32_t width, height;
};

Turn TurnOf(std::int32_t w, std::int32_t h, double degrees) {
    const veerpic::RotationGeometry g = veerpic::ComputeRotationGeometry(w, h, degrees);
    return {{{g.corners[0].x, g.corners[0].y},
             {g.corners[1].x, g.corners[1].y},
             {g.corners[2].x, g.corners[2].y}},
            g.canvasWidth,
            g.canvasHeight};
}

// Any number of threads gives the same bytes, from every source layout, on a
// source of several bands.
TEST(HalftoneParallelogram, ThreadsDoNotChangeAByte) {
    std::mt19937 rng(9);
    const Turn turn = TurnOf(150, 900, 30);
    for (const LayoutCase& c : kLayouts) {
        Bitmap source = MakeSection(150, 900, c.layout, c.topDown, rng);
        Bitmap one = MakeCanvas(turn.width, turn.height, 0x33);
        TransferParallelogram(one->View(), turn.points, source->View(), {0, 0, 150, 900},
                              ChooseSampleRun(true), 1);
        for (const int threads : {2, 7}) {
            Bitmap many = MakeCanvas(turn.width, turn.height, 0x33);
            TransferParallelogram(many->View(), turn.points, source->View(), {0, 0, 150, 900},
                                  ChooseSampleRun(true), threads);
            EXPECT_EQ(one->bits, many->bits) << c.name << " " << threads << " threads";
        }
    }
}

// Each band samples its own coefficients: the covered pixels come out as
// the whole source's coefficients give them at the plan's positions, to
// within a level where a band's column recursions start over their horizon,
// and exactly where the source is drawn as one band (it fits one, or the
// parallelogram squeezes so many of its rows into a pixel that bands do not
// pay). Bands of one row, and an edge crossing band boundaries, included.
TEST(HalftoneParallelogram, BandsDrawWhatTheWholeSourceGives) {
    struct Case {
        const char* name;
        std::int32_t w, h;
        Turn turn;
        bool exact;
    };
    const Case cases[] = {
        {"one band", 90, 256, TurnOf(90, 256, 30), true},
        {"last band one row", 60, 257, TurnOf(60, 257, 30), false},
        {"three bands and a row", 50, 769, TurnOf(50, 769, -20), false},
        {"steep", 40, 700, TurnOf(40, 700, 73), false},
        {"squeezed", 6, 30000, {{{2, 1}, {40, 3}, {0, 30}}, 45, 35}, true},
    };
    std::mt19937 rng(21);
    for (const Case& c : cases) {
        Bitmap source = MakeSection(c.w, c.h, {24}, false, rng);
        Bitmap canvas = MakeCanvas(c.turn.width, c.turn.height, 0x20);
        ASSERT_EQ(TransferParallelogram(canvas->View(), c.turn.points, source->View(),
                                        {0, 0, c.w, c.h}, true),
                  veerpic::pixels::Status::kOk);

        std::vector<std::int16_t> values(3 * std::size_t(c.w) * c.h);
        const CoefficientPlane plane{values.data(), 3 * std::ptrdiff_t{c.w}, c.w, c.h};
        const PixelRows rows{c.w, c.h, 3 * std::size_t(c.w),
                             [](const void* image, std::int32_t y, std::uint8_t* to) {
                                 const Image& b = *static_cast<const Image*>(image);
                                 std::memcpy(to, RowOf(b, y), 3 * std::size_t(b.format.width));
                             },
                             source.get()};
        ASSERT_TRUE(Prefilter(rows, plane));
        BandPlan plan;
        ASSERT_TRUE(plan.Setup(c.turn.points, c.turn.width, c.turn.height, c.w, c.h));
        int checked = 0;
        int differing = 0;
        for (std::int32_t j = plan.FirstRow(); j < plan.EndRow(); ++j) {
            const RowPlan row = plan.PlanRow(j);
            ASSERT_TRUE(row.touched.Empty() || row.stepped);
            for (std::int64_t i = row.full.first; i < row.full.end; ++i) {
                const std::int64_t k = i - row.touched.first;
                std::uint8_t expected[3];
                SampleRunScalar(ViewOf(plane), row.u0 + k * row.du, row.v0 + k * row.dv, 0, 0, 1,
                                expected);
                const std::uint8_t* got = RowOf(*canvas, j) + 3 * i;
                for (int ch = 0; ch < 3; ++ch) {
                    ASSERT_LE(std::abs(got[ch] - expected[ch]), c.exact ? 0 : 1)
                        << c.name << " " << i << "," << j;
                    differing += got[ch] != expected[ch];
                }
                ++checked;
            }
        }
        EXPECT_GT(checked, std::min(c.w * c.h, c.turn.width * c.turn.height) / 2) << c.name;
        EXPECT_LT(differing, checked / 100) << c.name;
    }
}

// Destinations of every layout take, band by band, what a 24-bit canvas
// takes, packed into their layout: pixels of less than a byte included,
// whose bands share bytes.
TEST(HalftoneParallelogram, EveryDestinationLayoutTakesTheBandsPixels) {
    std::mt19937 rng(22);
    const Turn turn = TurnOf(64, 600, 30);
    Bitmap source = MakeSection(64, 600, {24}, false, rng);
    const Colour grey{0x88, 0x88, 0x88};
    for (const LayoutCase& c : kLayouts) {
        if (c.layout.bitCount == 24) {
            continue;
        }
        Bitmap dest = MakeSection(turn.width, turn.height, c.layout, c.topDown, rng);
        DibFormat& f = dest->format;
        for (std::uint32_t i = 0; i < f.colorCount; ++i) {
            f.colors[i] = {grey[0], grey[1], grey[2], 0};
            if (i % 2 == 1) {
                f.colors[i] = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
                               static_cast<std::uint8_t>(rng()), 0};
            }
        }
        veerpic::pixels::RowCodec codec(f);
        for (std::int32_t y = 0; y < turn.height; ++y) {
            for (std::int32_t x = 0; x < turn.width; ++x) {
                codec.Pack(RowOf(*dest, y), static_cast<std::size_t>(x), grey.data());
            }
        }
        Bitmap expected = NewImage(f);
        expected->bits = dest->bits;
        // The grey as the layout holds it.
        std::uint8_t held[4];
        codec.Unpack(RowOf(*dest, 0), 1, held);
        Bitmap canvas = MakeCanvas(turn.width, turn.height, Colour{held[0], held[1], held[2]});
        TransferParallelogram(canvas->View(), turn.points, source->View(), {0, 0, 64, 600},
                              ChooseSampleRun(true), 2);
        TransferParallelogram(dest->View(), turn.points, source->View(), {0, 0, 64, 600},
                              ChooseSampleRun(true), 2);
        for (std::int32_t y = 0; y < turn.height; ++y) {
            for (std::int32_t x = 0; x < turn.width; ++x) {
                codec.Pack(RowOf(*expected, y), static_cast<std::size_t>(x),
                           RowOf(*canvas, y) + 3 * x);
            }
        }
        EXPECT_EQ(dest->bits, expected->bits) << c.name;
    }
}

// A picture drawn onto itself reads what it held before anything was drawn,
// across bands as within one.
TEST(HalftoneParallelogram, DrawingOntoItselfReadsTheSourceAsItWas) {
    std::mt19937 rng(23);
    for (const std::int32_t height : {200, 600}) {
        Bitmap picture = MakeSection(300, height, {24}, false, rng);
        Bitmap copy = NewImage(picture->format);
        copy->bits = picture->bits;
        Bitmap expected = NewImage(picture->format);
        expected->bits = picture->bits;
        const Point points[3] = {{100, 0}, {290, height / 6}, {10, height - 30}};
        const SourceRect all{0, 0, 300, height};
        TransferParallelogram(expected->View(), points, copy->View(), all, true);
        TransferParallelogram(picture->View(), points, picture->View(), all, true);
        EXPECT_EQ(picture->bits, expected->bits) << height;
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
        const Point points[3] = {{9, 0}, {31, 8}, {2, 17}};
        Bitmap fromWhole = MakeCanvas(34, 26, 0x11);
        Bitmap fromPart = MakeCanvas(34, 26, 0x11);
        TransferParallelogram(fromWhole->View(), points, whole->View(), {xSrc, ySrc, w, h}, true);
        TransferParallelogram(fromPart->View(), points, part->View(), {0, 0, w, h}, true);
        EXPECT_EQ(Pixels(*fromWhole), Pixels(*fromPart)) << c.name;
    }
}

// ------------------------------------------------------------- SIMD samplers

// Each sampler on runs that start anywhere, step anyhow and cross the edges,
// over coefficients of any value (the 16-bit extremes included), writing
// nothing past the run.
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

// Corners far out, at the limits of the coordinates, or on one line: the
// canvas comes out covered, untouched, or (where neither is simple) at least
// quickly and safely.
TEST(HalftoneParallelogram, ZeroAreaAndHostileCorners) {
    const Colour kSource{1, 2, 3}, kCanvas{0x66, 0x66, 0x66};
    Bitmap source = MakeCanvas(5, 4, kSource);
    const std::int32_t big = 1 << 30;
    const std::int32_t top = 2147483647, bottom = -2147483647 - 1;
    enum Outcome { kCovered, kUntouched, kEither };
    struct Case {
        Point p0, p1, p2;
        Outcome outcome;
    };
    const Case cases[] = {
        {{3, 3}, {9, 4}, {3, 3}, kUntouched},  // P2 on P0
        {{3, 3}, {3, 3}, {4, 9}, kUntouched},  // P1 on P0
        {{0, 0}, {4, 4}, {8, 8}, kUntouched},  // all on one line
        {{5, 5}, {5, 5}, {5, 5}, kUntouched},  // one point
        {{-big, -big}, {big, -big}, {-big, big}, kCovered},
        {{big, big}, {-big, big}, {big, -big}, kCovered},
        {{bottom, bottom}, {top, bottom}, {bottom, top}, kCovered},
        {{top, top}, {bottom, bottom}, {top, bottom}, kEither},    // a half plane
        {{big, big}, {big + 5, big}, {big, big + 5}, kUntouched},  // far away
        {{-big, 3}, {big, 4}, {-big, 5}, kEither},                 // a long thin strip
        {{bottom, 0}, {top, 1}, {bottom, 1}, kEither},
        {{0, 0}, {1, 0}, {0, top}, kEither},  // a one-pixel column, very tall
    };
    for (const Case& c : cases) {
        for (const bool simd : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.p0.x << "," << c.p0.y << " " << c.p1.x << ","
                                            << c.p1.y << " " << c.p2.x << "," << c.p2.y);
            Bitmap canvas = MakeCanvas(31, 29, kCanvas[0]);
            Draw(*canvas, c.p0, c.p1, c.p2, *source, simd);
            if (c.outcome != kEither) {
                EXPECT_EQ(Pixels(*canvas),
                          std::vector<Colour>(31 * 29, c.outcome == kCovered ? kSource : kCanvas));
            }
        }
    }
}

// An 8-bit destination with the source's colour table takes the source's
// indices. (Every other destination layout: PlgBlt against SetDIBits in
// tests/surface/gdi_objects_test.cpp.)
TEST(HalftoneParallelogram, PaletteDestinationKeepsTheIndices) {
    std::mt19937 rng(10);
    Bitmap source = MakeSection(9, 7, {8}, false, rng);
    for (int i = 0; i < 256; ++i) {  // distinct colours
        source->format.colors[i] = {static_cast<std::uint8_t>(i),
                                    static_cast<std::uint8_t>(255 - i),
                                    static_cast<std::uint8_t>(i * 7), 0};
    }
    Bitmap paletted = NewImage(source->format);
    Draw(*paletted, {0, 0}, {9, 0}, {0, 7}, *source);
    for (std::int32_t y = 0; y < 7; ++y) {
        EXPECT_EQ(std::memcmp(RowOf(*paletted, y), RowOf(*source, y), 9), 0) << y;
    }
}

// The working blocks come from the memory given and go back to it, all of
// them together never larger than the whole source's coefficients (6 bytes
// a pixel), however many threads are asked for; a refusal ends the transfer
// with nothing drawn. Sources of one band, of a band of one row, of two bands
// that two buffers would outgrow, one pixel wide, and of many bands.
TEST(HalftoneParallelogram, WorkingMemoryComesFromTheCallerAndGoesBack) {
    static int live = 0;
    static std::size_t bytes = 0, peak = 0;
    static bool refuse = false;
    const WorkingMemory memory{
        [](std::size_t size) -> void* {
            if (refuse) {
                return nullptr;
            }
            auto* block = static_cast<std::size_t*>(std::malloc(size + sizeof(std::max_align_t)));
            *block = size;
            ++live;
            bytes += size;
            peak = std::max(peak, bytes);
            return reinterpret_cast<std::max_align_t*>(block) + 1;
        },
        [](void* block) {
            auto* start = static_cast<std::max_align_t*>(block) - 1;
            --live;
            bytes -= *reinterpret_cast<std::size_t*>(start);
            std::free(start);
        }};
    const std::int32_t sizes[][2] = {{9, 7}, {40, 257}, {40, 300}, {1, 700}, {30, 2000}};
    for (const auto [w, h] : sizes) {
        Bitmap source = MakeCanvas(w, h, Colour{10, 20, 30});
        const Turn turn = TurnOf(w, h, 30);
        for (const bool refused : {false, true}) {
            refuse = refused;
            peak = 0;
            Bitmap canvas = MakeCanvas(turn.width, turn.height, 0x77);
            const auto status =
                TransferParallelogram(canvas->View(), turn.points, source->View(), {0, 0, w, h},
                                      ChooseSampleRun(true), 8, &memory);
            EXPECT_EQ(live, 0) << w << "x" << h;
            if (refused) {
                EXPECT_EQ(status, veerpic::pixels::Status::kOutOfMemory) << w << "x" << h;
                EXPECT_EQ(canvas->bits, MakeCanvas(turn.width, turn.height, 0x77)->bits);
            } else {
                EXPECT_EQ(status, veerpic::pixels::Status::kOk) << w << "x" << h;
                EXPECT_NE(canvas->bits, MakeCanvas(turn.width, turn.height, 0x77)->bits);
                EXPECT_GT(peak, 0u);
                EXPECT_LE(peak, 6 * std::size_t(w) * h) << w << "x" << h;
            }
        }
    }
}

#if !defined(_WIN32)
// Source, canvas and working blocks set against an inaccessible page, at
// their ends and then at their starts: a transfer that reads or writes a
// byte past any of them stops the test, whatever the heap would have put
// there; one that does not gives the bytes it gives in ordinary memory.
// Sizes that are no multiple of 2, 8 or 16, and sources of one row, one
// column and several bands.
TEST(HalftoneParallelogram, NoTransferReachesPastItsBlocks) {
    const WorkingMemory memory{veerpic_test::GuardedBlocks::Allocate,
                               veerpic_test::GuardedBlocks::Release};
    std::mt19937 rng(23);
    const std::int32_t sizes[][2] = {{1, 1}, {1, 300}, {300, 1}, {7, 5}, {37, 29}, {37, 600}};
    for (const bool guardStart : {false, true}) {
        const veerpic_test::GuardedBlocks guard(guardStart);
        for (const auto [w, h] : sizes) {
            for (const Layout layout : {Layout{24}, Layout{8}}) {
                Bitmap source = MakeSection(w, h, layout, false, rng);
                const std::size_t sourceBytes = source->bits.size();
                auto* guardedSource =
                    static_cast<std::uint8_t*>(veerpic_test::GuardedBlocks::Allocate(sourceBytes));
                ASSERT_NE(guardedSource, nullptr);
                std::memcpy(guardedSource, source->bits.data(), sourceBytes);
                for (const double degrees : {30.0, -45.0, 90.0, 7.5}) {
                    const Turn turn = TurnOf(w, h, degrees);
                    Bitmap expected = MakeCanvas(turn.width, turn.height, 0x21);
                    TransferParallelogram(expected->View(), turn.points, source->View(),
                                          {0, 0, w, h}, true);
                    const std::size_t canvasBytes = expected->bits.size();
                    auto* canvas = static_cast<std::uint8_t*>(
                        veerpic_test::GuardedBlocks::Allocate(canvasBytes));
                    ASSERT_NE(canvas, nullptr);
                    std::memset(canvas, 0x21, canvasBytes);
                    ASSERT_EQ(TransferParallelogram({&expected->format, canvas}, turn.points,
                                                    {&source->format, guardedSource}, {0, 0, w, h},
                                                    ChooseSampleRun(true), 2, &memory),
                              veerpic::pixels::Status::kOk);
                    EXPECT_EQ(0, std::memcmp(canvas, expected->bits.data(), canvasBytes))
                        << w << "x" << h << " at " << degrees << ", " << layout.bitCount << " bits";
                    veerpic_test::GuardedBlocks::Release(canvas);
                }
                veerpic_test::GuardedBlocks::Release(guardedSource);
            }
        }
    }
}
#endif

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
