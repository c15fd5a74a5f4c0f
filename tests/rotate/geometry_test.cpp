#include "rotate/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

namespace {

using veerpic::ComputeRotationGeometry;
using veerpic::IsWholeTurn;

struct WorkedCase {
    int width;
    int height;
    double angle;
    double boxWidth;
    double boxHeight;
    int canvasWidth;
    int canvasHeight;
    int p[6];  // P0, P1, P2
};

void PrintTo(const WorkedCase& c, std::ostream* os) {
    *os << c.width << "x" << c.height << " at " << c.angle;
}

class WorkedValues : public testing::TestWithParam<WorkedCase> {};

TEST_P(WorkedValues, BoxCanvasAndCorners) {
    const WorkedCase& c = GetParam();
    const auto g = ComputeRotationGeometry(c.width, c.height, c.angle);
    ASSERT_TRUE(g.valid);
    EXPECT_EQ(g.boxWidth, c.boxWidth);
    EXPECT_EQ(g.boxHeight, c.boxHeight);
    EXPECT_EQ(g.canvasWidth, c.canvasWidth);
    EXPECT_EQ(g.canvasHeight, c.canvasHeight);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(g.corners[i].x, c.p[2 * i]) << "P" << i;
        EXPECT_EQ(g.corners[i].y, c.p[2 * i + 1]) << "P" << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, WorkedValues,
    testing::Values(
        WorkedCase{
            100, 50, 30, 111.60254037844388, 93.30127018922192, 111, 93, {25, 0, 111, 49, 0, 43}},
        WorkedCase{
            100, 50, -30, 111.60254037844388, 93.30127018922192, 111, 93, {0, 49, 86, 0, 25, 93}},
        WorkedCase{
            100, 50, 45, 106.06601717798213, 106.06601717798212, 106, 106, {35, 0, 106, 70, 0, 35}},
        WorkedCase{
            100, 50, 60, 93.30127018922195, 111.60254037844388, 93, 111, {43, 0, 93, 86, 0, 25}},
        WorkedCase{100, 50, 90, 50.00000000000001, 100.0, 50, 100, {50, 0, 50, 99, 0, 0}},
        WorkedCase{100, 50, -90, 50.00000000000001, 100.0, 50, 100, {0, 99, 0, 0, 50, 100}},
        WorkedCase{100, 50, 180, 100.0, 50.000000000000014, 100, 50, {100, 50, 0, 50, 99, 0}},
        WorkedCase{
            100, 50, 270, 50.00000000000002, 100.00000000000001, 50, 100, {0, 100, 0, 0, 50, 100}},
        WorkedCase{
            100, 50, 1.5, 101.27457991294938, 52.600561079565175, 101, 52, {1, 0, 101, 2, 0, 49}},
        WorkedCase{
            100, 50, 10, 107.16318418456731, 66.60520541730344, 107, 66, {8, 0, 107, 17, 0, 49}},
        WorkedCase{
            100, 50, 370, 107.16318418456731, 66.6052054173034, 107, 66, {8, 0, 107, 17, 0, 49}},
        WorkedCase{
            100, 50, 1e6, 66.60520541713402, 107.16318418450717, 66, 107, {0, 98, 17, 0, 49, 107}},
        WorkedCase{640, 480, 90, 480.00000000000006, 640.0, 480, 640, {480, 0, 480, 639, 0, 0}},
        WorkedCase{640,
                   480,
                   30,
                   794.2562584220408,
                   735.6921938165306,
                   794,
                   735,
                   {239, 0, 794, 319, 0, 415}},
        WorkedCase{3, 2, 90, 2.0, 3.0, 2, 3, {1, 0, 2, 2, 0, 0}},
        WorkedCase{1, 1, 45, 1.414213562373095, 1.414213562373095, 1, 1, {0, 0, 1, 0, 0, 0}},
        WorkedCase{100, 50, 2e-309, 100.0, 50.0, 100, 50, {0, 0, 100, 0, 0, 50}}),
    [](const testing::TestParamInfo<WorkedCase>& p) {
        std::string name = std::to_string(p.param.width) + "x" + std::to_string(p.param.height) +
                           "_at_" + std::to_string(p.index);
        return name;
    });

TEST(WholeTurn, CopyPathAngles) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double a : {0.0, -0.0, 360.0, -720.0, 3.6e17, inf, -inf, nan, -nan, 1e-309, -1e-309}) {
        EXPECT_TRUE(IsWholeTurn(a)) << a;
    }
    for (double a : {2e-309, -2e-309, 1.0, 359.99999999999994, 370.0, 180.0, -90.0, 1e6}) {
        EXPECT_FALSE(IsWholeTurn(a)) << a;
    }
}

TEST(Geometry, BeyondTheTrigonometricRangeIsInvalid) {
    EXPECT_FALSE(ComputeRotationGeometry(100, 50, 1e20).valid);
    EXPECT_FALSE(ComputeRotationGeometry(100, 50, -6e17).valid);
    EXPECT_TRUE(ComputeRotationGeometry(100, 50, 5e17).valid);
}

TEST(Geometry, QuarterTurnCosineIsNotZero) {
    const auto g = ComputeRotationGeometry(100, 50, 90);
    EXPECT_NE(g.cosTheta, 0.0);
    EXPECT_LT(std::fabs(g.cosTheta), 1e-16);
    EXPECT_EQ(g.boxWidth * 0.5, 25.000000000000004);
}

}  // namespace
