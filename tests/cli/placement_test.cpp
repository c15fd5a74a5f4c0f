// Where the turned picture lands: a picture with a coloured marker in each
// corner goes through the tool, and each marker is looked for in the output.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <string>

#include "rotate/geometry.h"
#include "support/test_support.h"

namespace {

using veerpic_test::Bytes;
using veerpic_test::GetI32;
using veerpic_test::GetU32;
using veerpic_test::TempDir;

constexpr int kWidth = 90;
constexpr int kHeight = 60;
constexpr int kMarker = 10;  // the side of each corner's square

struct Rgb {
    int r, g, b;
};
// Upper-left, upper-right, lower-left and lower-right markers on white.
constexpr std::array<Rgb, 4> kMarkers = {Rgb{255, 0, 0}, Rgb{0, 160, 0}, Rgb{0, 0, 255},
                                         Rgb{255, 0, 255}};

// The top-left pixel of corner `c`'s marker (0 upper-left, 1 upper-right,
// 2 lower-left, 3 lower-right), y from the top.
int MarkerX(std::size_t c) {
    return c % 2 == 0 ? 0 : kWidth - kMarker;
}
int MarkerY(std::size_t c) {
    return c < 2 ? 0 : kHeight - kMarker;
}

Bytes MarkedPicture() {
    const int stride = (kWidth * 3 + 3) / 4 * 4;
    Bytes pixels(static_cast<std::size_t>(stride) * kHeight, 0xFF);
    for (std::size_t c = 0; c < kMarkers.size(); ++c) {
        for (int y = MarkerY(c); y < MarkerY(c) + kMarker; ++y) {
            for (int x = MarkerX(c); x < MarkerX(c) + kMarker; ++x) {
                std::uint8_t* p =
                    &pixels[static_cast<std::size_t>((kHeight - 1 - y) * stride + x * 3)];
                p[0] = static_cast<std::uint8_t>(kMarkers[c].b);
                p[1] = static_cast<std::uint8_t>(kMarkers[c].g);
                p[2] = static_cast<std::uint8_t>(kMarkers[c].r);
            }
        }
    }
    return veerpic_test::MakeBmp(kWidth, kHeight, 24, {}, pixels);
}

struct Point {
    double x = 0, y = 0;
};

// The centre of the pixels of a 24-bit bottom-up BMP that are close to
// `colour`, in picture coordinates (y down, pixel centres at +0.5).
Point Centroid(const Bytes& file, const Rgb& colour, int* count) {
    const int width = GetI32(file, 18);
    const int height = GetI32(file, 22);
    const std::size_t offset = GetU32(file, 10);
    const std::size_t stride = static_cast<std::size_t>(width * 3 + 3) / 4 * 4;
    Point sum;
    *count = 0;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* row = &file[offset + static_cast<std::size_t>(height - 1 - y) * stride];
        for (int x = 0; x < width; ++x) {
            const int db = row[3 * x] - colour.b;
            const int dg = row[3 * x + 1] - colour.g;
            const int dr = row[3 * x + 2] - colour.r;
            if (db * db + dg * dg + dr * dr < 40 * 40) {
                sum.x += x + 0.5;
                sum.y += y + 0.5;
                ++*count;
            }
        }
    }
    return *count == 0 ? sum : Point{sum.x / *count, sum.y / *count};
}

class Placement : public testing::TestWithParam<const char*> {};

TEST_P(Placement, EachCornerLandsAtItsCornerPointTurnedClockwise) {
    TempDir dir;
    const std::string in = dir.File("in.bmp");
    const std::string out = dir.File("out.bmp");
    veerpic_test::WriteBytes(in, MarkedPicture());
    const auto r = veerpic_test::RunTool({GetParam(), in, out});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const Bytes file = veerpic_test::ReadBytes(out);

    const double angle = std::stod(GetParam());
    const veerpic::RotationGeometry g = veerpic::ComputeRotationGeometry(kWidth, kHeight, angle);
    ASSERT_TRUE(g.valid);
    ASSERT_EQ(GetI32(file, 18), g.canvasWidth);
    ASSERT_EQ(GetI32(file, 22), g.canvasHeight);
    // The source's axes as they lie on the canvas, per source pixel.
    const Point origin{static_cast<double>(g.corners[0].x), static_cast<double>(g.corners[0].y)};
    const Point ax{(g.corners[1].x - origin.x) / kWidth, (g.corners[1].y - origin.y) / kWidth};
    const Point ay{(g.corners[2].x - origin.x) / kHeight, (g.corners[2].y - origin.y) / kHeight};

    for (std::size_t i = 0; i < kMarkers.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "marker " << i << " at " << GetParam());
        const Point s{MarkerX(i) + kMarker / 2.0, MarkerY(i) + kMarker / 2.0};
        const Point expected{origin.x + s.x * ax.x + s.y * ay.x,
                             origin.y + s.x * ax.y + s.y * ay.y};
        int count = 0;
        const Point found = Centroid(file, kMarkers[i], &count);
        ASSERT_GT(count, kMarker * kMarker / 3);
        EXPECT_NEAR(found.x, expected.x, 0.75);
        EXPECT_NEAR(found.y, expected.y, 0.75);

        // The direction and amount of the turn, independent of the corner
        // points: seen from the picture's centre, with y down, a clockwise
        // turn on screen adds the angle to each marker's bearing.
        const double before = std::atan2(s.y - kHeight / 2.0, s.x - kWidth / 2.0);
        const double after =
            std::atan2(found.y - g.canvasHeight / 2.0, found.x - g.canvasWidth / 2.0);
        double turned = (after - before) * 180 / std::numbers::pi - angle;
        turned -= 360 * std::round(turned / 360);
        EXPECT_NEAR(turned, 0, 2.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Angles, Placement, testing::Values("30", "90", "-45", "200"),
                         [](const testing::TestParamInfo<const char*>& p) {
                             std::string name = p.param;
                             return name[0] == '-' ? "minus" + name.substr(1) : name;
                         });

}  // namespace
