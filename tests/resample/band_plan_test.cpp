// The plan's source bands: every touched column of a row belongs to exactly
// one band, the one holding the source row that its sample's taps are
// centred on, and the rows the plan gives for a band take in all of its
// columns.
#include "resample/band_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "resample/sampler.h"

namespace {

using namespace veerpic::resample;

// Where the row samples column i.
std::int64_t PositionOf(const BandPlan& plan, const RowPlan& row, std::int64_t i) {
    if (row.stepped) {
        return row.v0 + (i - row.touched.first) * row.dv;
    }
    std::int64_t u = 0;
    std::int64_t v = 0;
    plan.ExactPosition(i, row.y2, &u, &v);
    return v;
}

TEST(BandPlan, BandsShareOutEveryTouchedColumnByItsSampleRow) {
    struct Case {
        const char* name;
        Point p0, p1, p2;
        std::int32_t destWidth, destHeight;
        std::int64_t sourceWidth, sourceHeight, bandRows;
        bool steppedOnly;
    };
    const std::int32_t m = 1 << 30;
    const Case cases[] = {
        {"30 degrees", {150, 0}, {410, 150}, {0, 260}, 420, 420, 300, 300, 64, true},
        {"mirrored", {410, 150}, {150, 0}, {260, 410}, 420, 420, 300, 300, 50, true},
        {"half a degree", {3, 0}, {400, 4}, {0, 350}, 410, 360, 400, 350, 64, true},
        {"shrunk 1000 times", {20, 2}, {60, 30}, {0, 32}, 64, 64, 50, 50000, 64, true},
        {"source one row high", {5, 1}, {90, 40}, {1, 9}, 100, 60, 70, 1, 64, true},
        {"one band", {5, 1}, {90, 40}, {1, 9}, 100, 60, 70, 50, 64, true},
        // Thinner than the stepped positions can follow: each column alone.
        {"sliver", {0, 0}, {m, m - 1}, {m + 1, m}, 60, 60, 1 << 23, 1000, 100, false},
    };
    for (const Case& c : cases) {
        const Point points[3] = {c.p0, c.p1, c.p2};
        BandPlan plan;
        ASSERT_TRUE(plan.Setup(points, c.destWidth, c.destHeight, c.sourceWidth, c.sourceHeight));
        const std::int64_t bands = (c.sourceHeight + c.bandRows - 1) / c.bandRows;
        std::vector<std::int64_t> bandOf;
        int inner = 0;
        bool allStepped = true;
        for (std::int32_t j = plan.FirstRow(); j < plan.EndRow(); ++j) {
            const RowPlan row = plan.PlanRow(j);
            allStepped = allStepped && (row.touched.Empty() || row.stepped);
            bandOf.clear();
            for (std::int64_t i = row.touched.first; i < row.touched.end; ++i) {
                const SourcePosition y = DecodePosition(PositionOf(plan, row, i));
                const std::int64_t band = y.x0 < 0 ? 0 : y.x0 / c.bandRows;
                bandOf.push_back(std::min(band, bands - 1));
            }
            for (std::int64_t b = 0; b < bands; ++b) {
                const std::int64_t first = b == 0 ? -kNoRowLimit : b * c.bandRows;
                const std::int64_t end = b == bands - 1 ? kNoRowLimit : (b + 1) * c.bandRows;
                const Span piece = plan.ColumnsOfSourceRows(row, first, end);
                for (std::int64_t i = row.touched.first; i < row.touched.end; ++i) {
                    ASSERT_EQ(i >= piece.first && i < piece.end, bandOf[i - row.touched.first] == b)
                        << c.name << " row " << j << " column " << i << " band " << b;
                }
                if (!piece.Empty()) {
                    const Span rows = plan.RowsOfSourceRows(first, end);
                    ASSERT_TRUE(j >= rows.first && j < rows.end)
                        << c.name << " row " << j << " band " << b;
                    inner += b > 0 && b < bands - 1;
                }
            }
        }
        EXPECT_EQ(allStepped, c.steppedOnly) << c.name;
        EXPECT_TRUE(bands < 3 || inner > 0) << c.name;
    }
}

}  // namespace

namespace {

// A centre exactly half a pixel inside an edge takes that edge's whole term,
// one exactly on it half, one half a pixel outside none; a hair closer to
// the edge takes less. Edges of whole-number length put centres exactly
// there; others never do.
TEST(BandPlan, EdgeTermsAreExactAtHalfAPixel) {
    struct Case {
        Int128 ex, ey, length;  // length 0: not a whole number
    };
    const Case cases[] = {{1, 0, 1},     {0, 7, 7},        {3, 4, 5}, {-5, 12, 13},
                          {20, -21, 29}, {600, 800, 1000}, {1, 1, 0}, {2, 3, 0}};
    for (const Case& c : cases) {
        const EdgePair p = MakeEdgePair(1 << 20, c.ex, c.ey);
        const Int128 full = p.full;
        const long trace = static_cast<long>(c.ex) * 100000 + static_cast<long>(c.ey);
        if (c.length != 0) {
            EXPECT_EQ(full, c.length) << trace;
        }
        EXPECT_EQ(EdgeCoverage(full, p), 65536) << trace;
        EXPECT_LT(EdgeCoverage(full - 1, p), 65536) << trace;
        EXPECT_EQ(EdgeCoverage(0, p), 32768) << trace;
        EXPECT_EQ(EdgeCoverage(-full, p), 0) << trace;
        EXPECT_GT(EdgeCoverage(1 - full, p), 0) << trace;
    }
}

}  // namespace
