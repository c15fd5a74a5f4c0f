// Where the parallelogram lies on the destination, row by row: which columns
// of each row it touches, which it covers fully, where their centres map to
// in the source, and how much of each fringe pixel it covers.
//
// Geometry is exact. With A = P1 - P0, B = P2 - P0 and D = cross(A, B), a
// pixel centre c (in doubled coordinates, so that it is an integer) has
//   S = cross(c - 2 P0, B) and T = cross(A, c - 2 P0),
// integers with s = S / 2D and t = T / 2D its position in the unit square of
// the source. Its signed distance to the edge through P0 along B is
// S / 2|B|, to the opposite edge (2D - S) / 2|B|, and likewise T / 2|A| and
// (2D - T) / 2|A| for the other two edges. The centre is inside when
// 0 <= S <= 2D and 0 <= T <= 2D, an exact test in integers. A pixel is
//   - covered fully when all four distances are >= 1/2,
//   - touched when all four are > -1/2 (its coverage is then above 0).
// These too are exact: each reads "S >= (or <=) an integer", since for
// integers n >= 0 and Q >= 1 the test n < sqrt(Q) is n <= isqrt(Q - 1). S and
// T are linear along a row, so every row's spans follow from a few divisions,
// with no search and no per-pixel test.
//
// The transfer samples the source in bands of its rows, and each touched
// pixel is drawn with the band that holds its sample's source row: the row
// whose centre is at or above the sample's position rounded to the
// sampler's 1/256 of a pixel (the row its taps are centred on). Positions
// step along a row from an exact start, so the columns of a band are those
// whose stepped position lies between two thresholds, again a few divisions.
//
// Coverage of a touched pixel that is not fully covered is the product of the
// four edge terms clamp(d + 1/2, 0, 1). The product (rather than the minimum)
// gives a corner pixel about a quarter where the picture's corner sits on its
// centre, and a sliver thinner than a pixel about its real share.
#pragma once

#include <cstdint>

namespace veerpic::resample {

__extension__ using Int128 = __int128;

// A point of the destination, in whole pixels.
struct Point {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Columns [first, end) of a row.
struct Span {
    std::int64_t first = 0;
    std::int64_t end = 0;
    bool Empty() const { return first >= end; }
};

// One pair of opposite edges, measured by E (S for the edges along B, T for
// those along A, |e| being that edge's length): the thresholds on E.
struct EdgePair {
    Int128 twiceD = 0;   // 2D: the opposite edge is at E = 2D
    Int128 touch = 0;    // touched while -touch <= E <= 2D + touch   (isqrt(|e|^2 - 1))
    Int128 full = 0;     // full while full <= E <= 2D - full         (ceil(|e|))
    Int128 inverse = 0;  // floor(2^47 / |e|): distances in 1/65536 pixel
};

// The thresholds of the edge pair with edge vector (ex, ey), for a
// parallelogram of cross product D.
EdgePair MakeEdgePair(Int128 d, Int128 ex, Int128 ey);

// One edge's coverage term clamp(dist + 1/2, 0, 1) in 1/65536, for E
// measured from that edge (dist = E / 2|e|): 65536 from half a pixel inside
// on, 0 from half a pixel outside on, 32768 on the edge.
std::int64_t EdgeCoverage(Int128 e, const EdgePair& p);

// One destination row as the transfer draws it.
struct RowPlan {
    Span touched;  // columns with any coverage
    Span full;     // columns covered fully, inside `touched`
    Int128 y2 = 0;
    // Source positions in 32.32 fixed point (pixel x covers [x, x + 1)): an
    // exact start at touched.first and a step per column, when every
    // position along the span stays far from the 64-bit limits (always, but
    // for parallelograms thinner than a source pixel's 2^-28th); else each
    // column's position is worked out alone (ExactPosition).
    bool stepped = false;
    std::int64_t u0 = 0, v0 = 0, du = 0, dv = 0;
};

// A bound on source rows that leaves that side of a band open: positions
// beyond the source's edge belong to the first and the last band.
inline constexpr std::int64_t kNoRowLimit = std::int64_t{1} << 40;

class BandPlan {
  public:
    // The parallelogram with corners P0, P1, P2 (and P1 + P2 - P0) over a
    // destination of the given size, for a source rectangle of
    // sourceWidth x sourceHeight. False when it has no area.
    bool Setup(const Point points[3], std::int32_t destWidth, std::int32_t destHeight,
               std::int64_t sourceWidth, std::int64_t sourceHeight);

    // Rows [FirstRow(), EndRow()) can hold a touched pixel.
    std::int32_t FirstRow() const { return firstRow_; }
    std::int32_t EndRow() const { return endRow_; }

    // Row j; its `touched` span is empty when nothing of it is drawn.
    RowPlan PlanRow(std::int32_t j) const;
    // The coverage of column i of a row as a blend weight in 0..256.
    std::uint16_t Alpha(std::int64_t i, Int128 y2) const;
    // The source position of column i, clamped to a few pixels beyond the
    // source, for rows that are not stepped.
    void ExactPosition(std::int64_t i, Int128 y2, std::int64_t* u, std::int64_t* v) const;

    // The columns of the row's touched span whose sample's source row lies in
    // [firstRow, endRow) (-kNoRowLimit and kNoRowLimit for an open side):
    // exactly those, whose positions are the ones the row samples at.
    Span ColumnsOfSourceRows(const RowPlan& row, std::int64_t firstRow, std::int64_t endRow) const;
    // The rows that can hold such a column: every one of them, within
    // [FirstRow(), EndRow()), and a few more.
    Span RowsOfSourceRows(std::int64_t firstRow, std::int64_t endRow) const;

  private:
    Int128 S(std::int64_t i, Int128 y2) const { return sx_ * (ox_ + 2 * i) + sy_ * y2; }
    Int128 T(std::int64_t i, Int128 y2) const { return tx_ * (ox_ + 2 * i) + ty_ * y2; }
    void PlanPositions(RowPlan* row) const;
    // The rows that can hold a touched pixel with T in [tLo, tHi].
    Span RowsWithin(Int128 tLo, Int128 tHi) const;

    std::int32_t destWidth_ = 0;
    std::int64_t sourceWidth_ = 0, sourceHeight_ = 0;
    Int128 d_ = 0;
    EdgePair sPair_, tPair_;
    Int128 ox_ = 0, oy_ = 0, sx_ = 0, sy_ = 0, tx_ = 0, ty_ = 0;
    Int128 ay_ = 0, by_ = 0, twoP0y_ = 0;
    std::int32_t firstRow_ = 0, endRow_ = 0;
};

}  // namespace veerpic::resample
