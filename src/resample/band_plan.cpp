#include "resample/band_plan.h"

#include <algorithm>

#include "resample/kernel.h"

namespace veerpic::resample {
namespace {

__extension__ using Uint128 = unsigned __int128;

Int128 Abs(Int128 v) {
    return v < 0 ? -v : v;
}

Int128 FloorDiv(Int128 a, Int128 b) {  // b != 0
    Int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

Int128 CeilDiv(Int128 a, Int128 b) {  // b != 0
    return -FloorDiv(-a, b);
}

// floor(sqrt(v)).
Uint128 Isqrt(Uint128 v) {
    Uint128 result = 0;
    Uint128 bit = Uint128{1} << 126;
    while (bit > v) {
        bit >>= 2;
    }
    while (bit != 0) {
        if (v >= result + bit) {
            v -= result + bit;
            result = (result >> 1) + bit;
        } else {
            result >>= 1;
        }
        bit >>= 2;
    }
    return result;
}

std::int64_t ClampToInt64(Int128 v, std::int64_t lo, std::int64_t hi) {
    return v < lo ? lo : (v > hi ? hi : static_cast<std::int64_t>(v));
}

// The columns i in [0, limit) with lo <= e0 + i * de <= hi.
Span ColumnsWithin(Int128 e0, Int128 de, Int128 lo, Int128 hi, std::int64_t limit) {
    if (lo > hi) {
        return {0, 0};
    }
    if (de == 0) {
        return (lo <= e0 && e0 <= hi) ? Span{0, limit} : Span{0, 0};
    }
    Int128 first;
    Int128 last;
    if (de > 0) {
        first = CeilDiv(lo - e0, de);
        last = FloorDiv(hi - e0, de);
    } else {
        first = CeilDiv(hi - e0, de);
        last = FloorDiv(lo - e0, de);
    }
    return {ClampToInt64(first, 0, limit), ClampToInt64(last + 1, 0, limit)};
}

Span Intersect(Span a, Span b) {
    Span s{std::max(a.first, b.first), std::min(a.end, b.end)};
    if (s.Empty()) {
        s = {a.first, a.first};
    }
    return s;
}

// The 32.32 source coordinate for E: extent * E / 2D, floored, where extent
// is the source rectangle's side (0 at one edge, `extent` at the other).
Int128 SourceCoordinate(Int128 e, Int128 d, std::int64_t extent) {
    // extent * 2^31 * E / D, with E split by D first so nothing overflows:
    // q is small for any touched pixel and r * extent * 2^31 < 2^66 * 2^59.
    const Int128 q = FloorDiv(e, d);
    const Int128 r = e - q * d;
    const Int128 scale = Int128{extent} << 31;
    return q * scale + FloorDiv(r * scale, d);
}

}  // namespace

EdgePair MakeEdgePair(Int128 d, Int128 ex, Int128 ey) {
    EdgePair p;
    const Uint128 q = static_cast<Uint128>(ex * ex + ey * ey);  // >= 1 when D != 0
    const Uint128 root = Isqrt(q);
    p.twiceD = 2 * d;
    p.touch = static_cast<Int128>(Isqrt(q - 1));
    p.full = static_cast<Int128>(root * root == q ? root : root + 1);
    p.inverse = static_cast<Int128>(Isqrt((Uint128{1} << 94) / q));
    return p;
}

// One edge's coverage term clamp(d + 1/2, 0, 1) in 1/65536, for E measured
// from that edge (E / 2|e| is the distance).
std::int64_t EdgeCoverage(Int128 e, const EdgePair& p) {
    if (e >= p.full) {
        return 65536;
    }
    if (e <= -p.full) {
        return 0;
    }
    // |e| < ceil(|edge|) <= 2^33 and inverse <= 2^47 / |edge|: the product fits.
    const std::int64_t d = static_cast<std::int64_t>((e * p.inverse) >> 32);
    return std::clamp<std::int64_t>(d + 32768, 0, 65536);
}

bool BandPlan::Setup(const Point points[3], std::int32_t destWidth, std::int32_t destHeight,
                     std::int64_t sourceWidth, std::int64_t sourceHeight) {
    const Int128 ax = Int128{points[1].x} - points[0].x;
    const Int128 ay = Int128{points[1].y} - points[0].y;
    const Int128 bx = Int128{points[2].x} - points[0].x;
    const Int128 by = Int128{points[2].y} - points[0].y;
    Int128 d = ax * by - ay * bx;
    if (d == 0) {
        return false;  // no area: nothing to draw
    }
    const Int128 sign = d > 0 ? 1 : -1;
    d = Abs(d);
    d_ = d;
    destWidth_ = destWidth;
    sourceWidth_ = sourceWidth;
    sourceHeight_ = sourceHeight;
    sPair_ = MakeEdgePair(d, bx, by);
    tPair_ = MakeEdgePair(d, ax, ay);
    // At column i of row j the doubled centre minus 2 P0 is
    // (2i + 1 - 2 P0.x, 2j + 1 - 2 P0.y).
    ox_ = 1 - 2 * Int128{points[0].x};
    oy_ = 1 - 2 * Int128{points[0].y};
    sx_ = sign * by;  // S = sx * X + sy * Y,  T = tx * X + ty * Y
    sy_ = -sign * bx;
    tx_ = -sign * ay;
    ty_ = sign * ax;
    ay_ = ay;
    by_ = by;
    twoP0y_ = 2 * Int128{points[0].y};
    const Span rows = RowsWithin(-tPair_.touch, tPair_.twiceD + tPair_.touch);
    firstRow_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(rows.first, 0, destHeight));
    endRow_ = static_cast<std::int32_t>(std::clamp<std::int64_t>(rows.end, 0, destHeight));
    return true;
}

Span BandPlan::RowsWithin(Int128 tLo, Int128 tHi) const {
    // The doubled y of the widened parallelogram's corners is
    // 2 P0.y + (S ay + T by) / D (the sign taken out of S, T and D cancels),
    // at S on its touch limits and T on the limits given.
    const Int128 sLimits[2] = {-sPair_.touch, sPair_.twiceD + sPair_.touch};
    const Int128 tLimits[2] = {tLo, tHi};
    Int128 lo = sLimits[0] * ay_ + tLimits[0] * by_;
    Int128 hi = lo;
    for (const Int128 sv : sLimits) {
        for (const Int128 tv : tLimits) {
            const Int128 n = sv * ay_ + tv * by_;
            lo = std::min(lo, n);
            hi = std::max(hi, n);
        }
    }
    // 2j + 1 - 2 P0.y within [lo / D, hi / D], with a row to spare each side.
    const Int128 firstRow = FloorDiv(FloorDiv(lo, d_) + twoP0y_ - 1, 2) - 1;
    const Int128 lastRow = FloorDiv(CeilDiv(hi, d_) + twoP0y_ - 1, 2) + 1;
    constexpr std::int64_t kFar = std::int64_t{1} << 40;
    return {ClampToInt64(firstRow, -kFar, kFar), ClampToInt64(lastRow + 1, -kFar, kFar)};
}

RowPlan BandPlan::PlanRow(std::int32_t j) const {
    RowPlan row;
    row.y2 = oy_ + 2 * Int128{j};
    const Int128 s0 = S(0, row.y2);
    const Int128 t0 = T(0, row.y2);
    const Int128 ds = 2 * sx_;
    const Int128 dt = 2 * tx_;
    row.touched =
        Intersect(ColumnsWithin(s0, ds, -sPair_.touch, sPair_.twiceD + sPair_.touch, destWidth_),
                  ColumnsWithin(t0, dt, -tPair_.touch, tPair_.twiceD + tPair_.touch, destWidth_));
    if (row.touched.Empty()) {
        return row;
    }
    row.full = Intersect(
        row.touched,
        Intersect(ColumnsWithin(s0, ds, sPair_.full, sPair_.twiceD - sPair_.full, destWidth_),
                  ColumnsWithin(t0, dt, tPair_.full, tPair_.twiceD - tPair_.full, destWidth_)));
    if (row.full.Empty()) {
        row.full = {row.touched.end, row.touched.end};
    }
    PlanPositions(&row);
    return row;
}

void BandPlan::PlanPositions(RowPlan* row) const {
    const std::int64_t first = row->touched.first;
    const std::int64_t last = row->touched.end - 1;
    const Int128 u0 = SourceCoordinate(S(first, row->y2), d_, sourceWidth_);
    const Int128 v0 = SourceCoordinate(T(first, row->y2), d_, sourceHeight_);
    const Int128 u1 = SourceCoordinate(S(last, row->y2), d_, sourceWidth_);
    const Int128 v1 = SourceCoordinate(T(last, row->y2), d_, sourceHeight_);
    constexpr Int128 kLimit = Int128{1} << 60;
    row->stepped = Abs(u0) < kLimit && Abs(v0) < kLimit && Abs(u1) < kLimit && Abs(v1) < kLimit;
    if (!row->stepped) {
        return;
    }
    row->u0 = static_cast<std::int64_t>(u0);
    row->v0 = static_cast<std::int64_t>(v0);
    if (last > first) {
        // The exact step is within (2^61 + 1) / (columns - 1) here.
        row->du = static_cast<std::int64_t>(FloorDiv(2 * sx_ * (Int128{sourceWidth_} << 31), d_));
        row->dv = static_cast<std::int64_t>(FloorDiv(2 * tx_ * (Int128{sourceHeight_} << 31), d_));
    }
}

std::uint16_t BandPlan::Alpha(std::int64_t i, Int128 y2) const {
    const Int128 s = S(i, y2);
    const Int128 t = T(i, y2);
    std::int64_t c = EdgeCoverage(s, sPair_);
    c = (c * EdgeCoverage(sPair_.twiceD - s, sPair_)) >> 16;
    c = (c * EdgeCoverage(t, tPair_)) >> 16;
    c = (c * EdgeCoverage(tPair_.twiceD - t, tPair_)) >> 16;
    return static_cast<std::uint16_t>((c + 128) >> 8);
}

void BandPlan::ExactPosition(std::int64_t i, Int128 y2, std::int64_t* u, std::int64_t* v) const {
    const Int128 uMax = Int128{sourceWidth_ + 4} << 32;
    const Int128 vMax = Int128{sourceHeight_ + 4} << 32;
    const Int128 minimum = -(Int128{4} << 32);
    *u = static_cast<std::int64_t>(
        std::clamp(SourceCoordinate(S(i, y2), d_, sourceWidth_), minimum, uMax));
    *v = static_cast<std::int64_t>(
        std::clamp(SourceCoordinate(T(i, y2), d_, sourceHeight_), minimum, vMax));
}

namespace {

// The first position whose sample's source row is `row`: the sampler centres
// its taps on row floor(v / 2^32 - 1/2 + 1/512), the row whose centre is at
// or above the position rounded to 1/256 of a pixel.
Int128 FirstPositionOfRow(std::int64_t row) {
    return (Int128{row} << 32) + (Int128{1} << 31) - (Int128{1} << (31 - kFractionBits));
}

// The first i in [first, end) for which `holds` does (it holds from some i
// on), or end.
template <typename Predicate>
std::int64_t FirstHolding(std::int64_t first, std::int64_t end, const Predicate& holds) {
    while (first < end) {
        const std::int64_t middle = first + (end - first) / 2;
        if (holds(middle)) {
            end = middle;
        } else {
            first = middle + 1;
        }
    }
    return first;
}

}  // namespace

Span BandPlan::ColumnsOfSourceRows(const RowPlan& row, std::int64_t firstRow,
                                   std::int64_t endRow) const {
    const Span& touched = row.touched;
    if (touched.Empty() || firstRow >= endRow) {
        return {touched.first, touched.first};
    }
    const Int128 lo = FirstPositionOfRow(firstRow);
    const Int128 hi = FirstPositionOfRow(endRow) - 1;
    Span columns;
    if (row.stepped) {
        // Column touched.first + k samples at v0 + k dv.
        const Span k = ColumnsWithin(row.v0, row.dv, lo, hi, touched.end - touched.first);
        columns = {touched.first + k.first, touched.first + k.end};
    } else {
        // Each column's position worked out alone; they are monotonic along
        // the row (rising with T, which rises with the column when tx >= 0).
        auto rank = [&](std::int64_t i) {
            std::int64_t u = 0;
            std::int64_t v = 0;
            ExactPosition(i, row.y2, &u, &v);
            return v < lo ? -1 : (v > hi ? 1 : 0);
        };
        if (tx_ >= 0) {
            columns = {
                FirstHolding(touched.first, touched.end, [&](auto i) { return rank(i) >= 0; }),
                FirstHolding(touched.first, touched.end, [&](auto i) { return rank(i) > 0; })};
        } else {
            columns = {
                FirstHolding(touched.first, touched.end, [&](auto i) { return rank(i) <= 0; }),
                FirstHolding(touched.first, touched.end, [&](auto i) { return rank(i) < 0; })};
        }
    }
    if (columns.Empty()) {
        columns = {touched.first, touched.first};
    }
    return columns;
}

Span BandPlan::RowsOfSourceRows(std::int64_t firstRow, std::int64_t endRow) const {
    // Source row r lies at T = r * 2D / height. A column's sample row lies
    // within a row and a half of its exact position (a stepped position is
    // at most half a row short of it): two rows to spare on each side take
    // in every column. Open sides reach the touch limits.
    const Int128 twiceD = tPair_.twiceD;
    const Int128 tLo =
        std::max(FloorDiv((Int128{firstRow} - 2) * twiceD, sourceHeight_), -tPair_.touch);
    const Int128 tHi =
        std::min(CeilDiv((Int128{endRow} + 2) * twiceD, sourceHeight_), twiceD + tPair_.touch);
    if (firstRow >= endRow || tLo > tHi) {
        return {firstRow_, firstRow_};
    }
    const Span rows = RowsWithin(tLo, tHi);
    Span s{std::max<std::int64_t>(rows.first, firstRow_),
           std::min<std::int64_t>(rows.end, endRow_)};
    if (s.Empty()) {
        s = {firstRow_, firstRow_};
    }
    return s;
}

}  // namespace veerpic::resample
