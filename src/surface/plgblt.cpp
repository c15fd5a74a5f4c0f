// The parallelogram transfer with halftone stretching.
//
// Every destination pixel centre is mapped back into the source through the
// affine map that takes the source rectangle's corners to P0, P1, P2 (and
// P1 + P2 - P0), and the source is sampled there with Keys' bicubic kernel.
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
// Soft edges: a touched pixel that is not fully covered is blended with what
// the canvas holds, weighted by its coverage, the product of the four edge
// terms clamp(d + 1/2, 0, 1). The product (rather than the minimum) gives a
// corner pixel about a quarter where the picture's corner sits on its centre,
// and a sliver thinner than a pixel about its real share. Pixels that are
// not touched keep what they held; fully covered ones are written as sampled.
//
// Sampling positions are stepped along a row in 32.32 fixed point from an
// exact start, and the samplers compute in integers only, so the output is
// the same on every build, and the portable and SIMD samplers agree byte for
// byte.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "surface/pixel_masks.h"
#include "surface/plgblt_internal.h"

namespace platform::detail {

namespace {

__extension__ using Int128 = __int128;
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

// One pair of opposite edges, measured by E (S for the edges along B, T for
// those along A, |e| being that edge's length): the thresholds on E.
struct EdgePair {
    Int128 twiceD = 0;   // 2D: the opposite edge is at E = 2D
    Int128 touch = 0;    // touched while -touch <= E <= 2D + touch   (isqrt(|e|^2 - 1))
    Int128 full = 0;     // full while full <= E <= 2D - full         (ceil(|e|))
    Int128 inverse = 0;  // floor(2^47 / |e|): distances in 1/65536 pixel
};

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

// The columns i in [0, limit) with lo <= e0 + i * de <= hi, as [first, end).
struct Span {
    std::int64_t first = 0;
    std::int64_t end = 0;
    bool Empty() const { return first >= end; }
};

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
    Span s;
    s.first = ClampToInt64(first, 0, limit);
    s.end = ClampToInt64(last + 1, 0, limit);
    return s;
}

Span Intersect(Span a, Span b) {
    Span s{std::max(a.first, b.first), std::min(a.end, b.end)};
    if (s.Empty()) {
        s = {a.first, a.first};
    }
    return s;
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

// ------------------------------------------------------------------ sources

bool IsPlainRgb32(const DibFormat& f) {
    return f.bitCount == 32 && HasRgbLayout(f);
}

// The source rectangle as the samplers read it. 24-bit and plain 32-bit
// sources are read where they are; any other format (palettes, masks) is
// converted once into packed 24-bit rows, so that no tap looks anything up.
class PreparedSource {
  public:
    bool Prepare(const GdiBitmap& source, int xSrc, int ySrc, int width, int height,
                 bool mustCopy) {
        const DibFormat& f = source.format;
        view_.width = width;
        view_.height = height;
        view_.fastMaxY = std::max<std::int64_t>(height - 3, 0);
        if (!mustCopy && (f.bitCount == 24 || IsPlainRgb32(f))) {
            const int bpp = f.bitCount / 8;
            view_.bytesPerPixel = bpp;
            view_.origin = source.RowFromTop(ySrc) + static_cast<std::ptrdiff_t>(xSrc) * bpp;
            view_.pitch = f.topDown ? static_cast<std::ptrdiff_t>(f.stride)
                                    : -static_cast<std::ptrdiff_t>(f.stride);
            // The 16-byte load from tap x0 - 1 ends at byte (xSrc + x0 - 1) * bpp + 16
            // of the row, which must not pass the row's end.
            const std::int64_t byLoad =
                f.stride < 16 ? 0 : (static_cast<std::int64_t>(f.stride) - 16) / bpp + 1 - xSrc;
            view_.fastMaxX =
                std::max<std::int64_t>(0, std::min<std::int64_t>(std::int64_t{width} - 3, byLoad));
            return true;
        }
        // Packed rows of width * 3 bytes, and 16 spare bytes so that every
        // fast load stays inside.
        const std::size_t pitch = static_cast<std::size_t>(width) * 3;
        const std::size_t total = pitch * static_cast<std::size_t>(height) + 16;
        copy_.reset(new (std::nothrow) std::uint8_t[total]);
        std::unique_ptr<std::uint8_t[]> row(
            new (std::nothrow) std::uint8_t[static_cast<std::size_t>(f.width) * 4]);
        if (!copy_ || !row) {
            return false;
        }
        // 8-bit rows look their colours up directly; other formats go
        // through the general expansion.
        std::uint8_t lookup[256][3] = {};
        for (std::uint32_t i = 0; i < f.colorCount && i < 256; ++i) {
            lookup[i][0] = f.colors[i].rgbBlue;
            lookup[i][1] = f.colors[i].rgbGreen;
            lookup[i][2] = f.colors[i].rgbRed;
        }
        for (int y = 0; y < height; ++y) {
            if (f.bitCount == 8) {
                const std::uint8_t* in = source.RowFromTop(ySrc + y) + xSrc;
                std::uint8_t* out = copy_.get() + pitch * static_cast<std::size_t>(y);
                for (int x = 0; x < width; ++x) {
                    std::memcpy(out + 3 * x, lookup[in[x]], 3);
                }
                continue;
            }
            ReadRowBgrx(source, ySrc + y, row.get());
            const std::uint8_t* in = row.get() + static_cast<std::size_t>(xSrc) * 4;
            std::uint8_t* out = copy_.get() + pitch * static_cast<std::size_t>(y);
            for (int x = 0; x < width; ++x) {
                out[3 * x + 0] = in[4 * x + 0];
                out[3 * x + 1] = in[4 * x + 1];
                out[3 * x + 2] = in[4 * x + 2];
            }
        }
        std::memset(copy_.get() + total - 16, 0, 16);
        view_.bytesPerPixel = 3;
        view_.origin = copy_.get();
        view_.pitch = static_cast<std::ptrdiff_t>(pitch);
        view_.fastMaxX = std::max<std::int64_t>(0, std::int64_t{width} - 3);
        return true;
    }

    const SampleSource& View() const { return view_; }

  private:
    SampleSource view_;
    std::unique_ptr<std::uint8_t[]> copy_;
};

// ------------------------------------------------------------- destinations

// Blends a sample into a pixel by `alpha` in 0..256.
inline std::uint8_t Blend(std::uint8_t sample, std::uint8_t old, std::uint32_t alpha) {
    return static_cast<std::uint8_t>((sample * alpha + old * (256 - alpha) + 128) >> 8);
}

std::uint32_t NarrowChannel(std::uint8_t value, MaskChannel c) {
    if (c.bits == 0) {
        return 0;
    }
    const std::uint64_t max = (std::uint64_t{1} << c.bits) - 1;
    return static_cast<std::uint32_t>(((value * max + 127) / 255) << c.shift);
}

// Writes blended pixels into a destination of any format but 24 bits: the
// row is expanded, blended, and each touched pixel encoded back (masks for
// 16 and 32 bits, the nearest colour-table entry for palettes).
class GenericRowWriter {
  public:
    explicit GenericRowWriter(GdiBitmap& dest) : dest_(dest) {
        red_ = AnalyseMask(dest.format.redMask);
        green_ = AnalyseMask(dest.format.greenMask);
        blue_ = AnalyseMask(dest.format.blueMask);
    }
    bool Allocate() {
        row_.reset(new (std::nothrow)
                       std::uint8_t[static_cast<std::size_t>(dest_.format.width) * 4]);
        return row_ != nullptr;
    }

    // Pixels [first, first + count) of row y get samples[3k..] by alpha[k].
    void Write(std::int32_t y, std::int64_t first, std::int64_t count, const std::uint8_t* samples,
               const std::uint16_t* alpha) {
        ReadRowBgrx(dest_, y, row_.get());
        std::uint8_t* bits = dest_.RowFromTop(y);
        for (std::int64_t k = 0; k < count; ++k) {
            if (alpha[k] == 0) {
                continue;
            }
            const std::int64_t x = first + k;
            std::uint8_t* old = row_.get() + 4 * x;
            const std::uint8_t b = Blend(samples[3 * k + 0], old[0], alpha[k]);
            const std::uint8_t g = Blend(samples[3 * k + 1], old[1], alpha[k]);
            const std::uint8_t r = Blend(samples[3 * k + 2], old[2], alpha[k]);
            Encode(bits, x, b, g, r);
        }
    }

  private:
    void Encode(std::uint8_t* bits, std::int64_t x, std::uint8_t b, std::uint8_t g,
                std::uint8_t r) {
        const DibFormat& f = dest_.format;
        if (f.bitCount == 16 || f.bitCount == 32) {
            const std::uint32_t v =
                NarrowChannel(r, red_) | NarrowChannel(g, green_) | NarrowChannel(b, blue_);
            std::memcpy(bits + x * (f.bitCount / 8), &v, f.bitCount / 8u);
            return;
        }
        const unsigned index = NearestColour(b, g, r);
        switch (f.bitCount) {
            case 8:
                bits[x] = static_cast<std::uint8_t>(index);
                break;
            case 4: {
                const unsigned shift = (x & 1) ? 0 : 4;
                bits[x >> 1] = static_cast<std::uint8_t>((bits[x >> 1] & ~(0x0Fu << shift)) |
                                                         (index << shift));
                break;
            }
            case 1: {
                const unsigned bit = 7u - static_cast<unsigned>(x & 7);
                bits[x >> 3] =
                    static_cast<std::uint8_t>((bits[x >> 3] & ~(1u << bit)) | (index << bit));
                break;
            }
            default:
                break;
        }
    }

    // The first colour-table entry nearest in squared distance.
    unsigned NearestColour(std::uint8_t b, std::uint8_t g, std::uint8_t r) const {
        const DibFormat& f = dest_.format;
        const unsigned entries = std::min<unsigned>(f.colorCount, 1u << f.bitCount);
        unsigned best = 0;
        std::int32_t bestDistance = INT32_MAX;
        for (unsigned i = 0; i < entries; ++i) {
            const std::int32_t db = f.colors[i].rgbBlue - b;
            const std::int32_t dg = f.colors[i].rgbGreen - g;
            const std::int32_t dr = f.colors[i].rgbRed - r;
            const std::int32_t distance = db * db + dg * dg + dr * dr;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = i;
            }
        }
        return best;
    }

    GdiBitmap& dest_;
    MaskChannel red_, green_, blue_;
    std::unique_ptr<std::uint8_t[]> row_;
};

// ------------------------------------------------------------ the transfer

class Transfer {
  public:
    Transfer(GdiBitmap& dest, const SampleSource& source, SampleRunFunction run)
        : dest_(dest), source_(source), run_(run), writer_(dest) {}

    bool Setup(const POINT points[3]) {
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
        // Rows that can hold a touched pixel: the doubled y of the widened
        // parallelogram's corners is 2 P0.y + (S ay + T by) / D (the sign
        // taken out of S, T and D cancels), at S and T on their touch limits.
        const Int128 sLimits[2] = {-sPair_.touch, sPair_.twiceD + sPair_.touch};
        const Int128 tLimits[2] = {-tPair_.touch, tPair_.twiceD + tPair_.touch};
        Int128 lo = 0;
        Int128 hi = 0;
        bool firstCorner = true;
        for (const Int128 sv : sLimits) {
            for (const Int128 tv : tLimits) {
                const Int128 n = sv * ay + tv * by;
                if (firstCorner || n < lo) {
                    lo = n;
                }
                if (firstCorner || n > hi) {
                    hi = n;
                }
                firstCorner = false;
            }
        }
        // 2j + 1 - 2 P0.y within [lo / D, hi / D], with a row to spare each side.
        const Int128 twoP0y = 2 * Int128{points[0].y};
        const Int128 firstRow = FloorDiv(FloorDiv(lo, d) + twoP0y - 1, 2) - 1;
        const Int128 lastRow = FloorDiv(CeilDiv(hi, d) + twoP0y - 1, 2) + 1;
        firstRow_ = static_cast<std::int32_t>(ClampToInt64(firstRow, 0, dest_.format.height));
        endRow_ = static_cast<std::int32_t>(ClampToInt64(lastRow + 1, 0, dest_.format.height));
        return true;
    }

    bool Allocate() {
        const std::size_t width = static_cast<std::size_t>(dest_.format.width);
        samples_.reset(new (std::nothrow) std::uint8_t[width * 3 + 4]);
        alpha_.reset(new (std::nothrow) std::uint16_t[width]);
        if (!samples_ || !alpha_) {
            return false;
        }
        if (dest_.format.bitCount == 24) {
            // Without room for the runs, each row is drawn whole.
            runs_.reset(new (std::nothrow) CoveredRun[kBandRows]);
        }
        return dest_.format.bitCount == 24 || writer_.Allocate();
    }

    void Run() {
        // Rows are drawn in bands. The edges of a band's rows are drawn row by
        // row; their fully covered runs are then sampled in strips of
        // columns: a strip's rows read a narrow band of the source, which
        // stays in the caches, where whole rows at an angle would each cross
        // the source from edge to edge.
        for (std::int32_t band = firstRow_; band < endRow_; band += kBandRows) {
            const std::int32_t bandEnd = std::min(endRow_, band + kBandRows);
            runCount_ = 0;
            for (std::int32_t j = band; j < bandEnd; ++j) {
                DrawRow(j);
            }
            const std::int64_t width = dest_.format.width;
            for (std::int64_t strip = 0; strip < width; strip += kStripWidth) {
                for (std::size_t n = 0; n < runCount_; ++n) {
                    const CoveredRun& r = runs_[n];
                    const std::int64_t first = std::max(r.first, strip);
                    const std::int64_t end = std::min(r.end, strip + kStripWidth);
                    if (first < end) {
                        const std::int64_t k = first - r.first;
                        run_(source_, r.u + k * r.du, r.v + k * r.dv, r.du, r.dv,
                             static_cast<std::int32_t>(end - first), r.pixels + 3 * k);
                    }
                }
            }
        }
    }

  private:
    Int128 S(std::int64_t i, Int128 y2) const { return sx_ * (ox_ + 2 * i) + sy_ * y2; }
    Int128 T(std::int64_t i, Int128 y2) const { return tx_ * (ox_ + 2 * i) + ty_ * y2; }

    void DrawRow(std::int32_t j) {
        const std::int64_t width = dest_.format.width;
        const Int128 y2 = oy_ + 2 * Int128{j};
        const Int128 s0 = S(0, y2);
        const Int128 t0 = T(0, y2);
        const Int128 ds = 2 * sx_;
        const Int128 dt = 2 * tx_;
        const Span touched =
            Intersect(ColumnsWithin(s0, ds, -sPair_.touch, sPair_.twiceD + sPair_.touch, width),
                      ColumnsWithin(t0, dt, -tPair_.touch, tPair_.twiceD + tPair_.touch, width));
        if (touched.Empty()) {
            return;
        }
        Span full =
            Intersect(ColumnsWithin(s0, ds, sPair_.full, sPair_.twiceD - sPair_.full, width),
                      ColumnsWithin(t0, dt, tPair_.full, tPair_.twiceD - tPair_.full, width));
        full = Intersect(touched, full);
        if (full.Empty()) {
            full = {touched.end, touched.end};
        }
        PlanPositions(touched, y2);

        if (dest_.format.bitCount == 24) {
            std::uint8_t* row = dest_.RowFromTop(j);
            if (stepped_ && full.first < full.end && runs_) {
                // Drawn after all rows' edges, strip by strip.
                const std::int64_t k = full.first - spanFirst_;
                runs_[runCount_++] = {full.first, full.end, u0_ + k * du_,       v0_ + k * dv_,
                                      du_,        dv_,      row + 3 * full.first};
            } else {
                Sample(full.first, full.end, row + 3 * full.first);
            }
            BlendFringe(touched.first, full.first, y2, row);
            BlendFringe(full.end, touched.end, y2, row);
            return;
        }
        Sample(touched.first, touched.end, samples_.get());
        for (std::int64_t i = touched.first; i < touched.end; ++i) {
            alpha_[i - touched.first] =
                (i >= full.first && i < full.end) ? std::uint16_t{256} : Alpha(i, y2);
        }
        writer_.Write(j, touched.first, touched.end - touched.first, samples_.get(), alpha_.get());
    }

    // The sampling positions of the row's touched columns: an exact start
    // and a 32.32 step when every position along the span stays far from the
    // 64-bit limits (always, but for parallelograms thinner than a source
    // pixel's 2^-28th); else exact, clamped positions column by column.
    void PlanPositions(Span touched, Int128 y2) {
        const std::int64_t last = touched.end - 1;
        const Int128 u0 = SourceCoordinate(S(touched.first, y2), d_, source_.width);
        const Int128 v0 = SourceCoordinate(T(touched.first, y2), d_, source_.height);
        const Int128 u1 = SourceCoordinate(S(last, y2), d_, source_.width);
        const Int128 v1 = SourceCoordinate(T(last, y2), d_, source_.height);
        constexpr Int128 kLimit = Int128{1} << 60;
        stepped_ = Abs(u0) < kLimit && Abs(v0) < kLimit && Abs(u1) < kLimit && Abs(v1) < kLimit;
        rowY2_ = y2;
        spanFirst_ = touched.first;
        if (!stepped_) {
            return;
        }
        u0_ = static_cast<std::int64_t>(u0);
        v0_ = static_cast<std::int64_t>(v0);
        du_ = 0;
        dv_ = 0;
        if (last > touched.first) {
            // The exact step is within (2^61 + 1) / (columns - 1) here.
            du_ = static_cast<std::int64_t>(FloorDiv(2 * sx_ * (Int128{source_.width} << 31), d_));
            dv_ = static_cast<std::int64_t>(FloorDiv(2 * tx_ * (Int128{source_.height} << 31), d_));
        }
    }

    // Samples columns [first, end) of the planned row into out.
    void Sample(std::int64_t first, std::int64_t end, std::uint8_t* out) {
        if (first >= end) {
            return;
        }
        if (stepped_) {
            const std::int64_t k = first - spanFirst_;
            run_(source_, u0_ + k * du_, v0_ + k * dv_, du_, dv_,
                 static_cast<std::int32_t>(end - first), out);
            return;
        }
        const Int128 uMax = Int128{source_.width + 4} << 32;
        const Int128 vMax = Int128{source_.height + 4} << 32;
        const Int128 minimum = -(Int128{4} << 32);
        for (std::int64_t i = first; i < end; ++i) {
            const Int128 u = SourceCoordinate(S(i, rowY2_), d_, source_.width);
            const Int128 v = SourceCoordinate(T(i, rowY2_), d_, source_.height);
            SampleRunScalar(source_, static_cast<std::int64_t>(std::clamp(u, minimum, uMax)),
                            static_cast<std::int64_t>(std::clamp(v, minimum, vMax)), 0, 0, 1,
                            out + 3 * (i - first));
        }
    }

    // The coverage of column i as a blend weight in 0..256.
    std::uint16_t Alpha(std::int64_t i, Int128 y2) const {
        const Int128 s = S(i, y2);
        const Int128 t = T(i, y2);
        std::int64_t c = EdgeCoverage(s, sPair_);
        c = (c * EdgeCoverage(sPair_.twiceD - s, sPair_)) >> 16;
        c = (c * EdgeCoverage(t, tPair_)) >> 16;
        c = (c * EdgeCoverage(tPair_.twiceD - t, tPair_)) >> 16;
        return static_cast<std::uint16_t>((c + 128) >> 8);
    }

    void BlendFringe(std::int64_t first, std::int64_t end, Int128 y2, std::uint8_t* row) {
        if (first >= end) {
            return;
        }
        Sample(first, end, samples_.get());
        for (std::int64_t i = first; i < end; ++i) {
            const std::uint32_t alpha = Alpha(i, y2);
            if (alpha == 0) {
                continue;
            }
            const std::uint8_t* sample = samples_.get() + 3 * (i - first);
            std::uint8_t* pixel = row + 3 * i;
            for (int c = 0; c < 3; ++c) {
                pixel[c] = Blend(sample[c], pixel[c], alpha);
            }
        }
    }

    // A fully covered run of a row, to be sampled strip by strip.
    struct CoveredRun {
        std::int64_t first, end;    // columns
        std::int64_t u, v, du, dv;  // positions at `first` and their steps
        std::uint8_t* pixels;       // the destination pixel at `first`
    };
    static constexpr std::int64_t kStripWidth = 64;
    static constexpr std::int32_t kBandRows = 256;

    GdiBitmap& dest_;
    const SampleSource& source_;
    SampleRunFunction run_;
    GenericRowWriter writer_;
    std::unique_ptr<std::uint8_t[]> samples_;
    std::unique_ptr<std::uint16_t[]> alpha_;
    std::unique_ptr<CoveredRun[]> runs_;
    std::size_t runCount_ = 0;

    Int128 d_ = 0;
    EdgePair sPair_, tPair_;
    Int128 ox_ = 0, oy_ = 0, sx_ = 0, sy_ = 0, tx_ = 0, ty_ = 0;
    std::int32_t firstRow_ = 0, endRow_ = 0;

    bool stepped_ = false;
    Int128 rowY2_ = 0;
    std::int64_t spanFirst_ = 0;
    std::int64_t u0_ = 0, v0_ = 0, du_ = 0, dv_ = 0;
};

}  // namespace

void SampleRunScalar(const SampleSource& source, std::int64_t u, std::int64_t v, std::int64_t du,
                     std::int64_t dv, std::int32_t count, std::uint8_t* out) {
    const int bpp = source.bytesPerPixel;
    std::uint8_t scratch[64];
    for (std::int32_t k = 0; k < count; ++k, u += du, v += dv, out += 3) {
        const SourcePosition x = DecodePosition(u);
        const SourcePosition y = DecodePosition(v);
        std::ptrdiff_t pitch = 0;
        const std::uint8_t* taps = TapRows(source, x, y, scratch, &pitch);
        const std::int16_t* wx = kBicubicWeights.weights[x.fx];
        const std::int16_t* wy = kBicubicWeights.weights[y.fx];
        std::int32_t sum[3] = {0, 0, 0};
        for (int r = 0; r < 4; ++r) {
            const std::uint8_t* row = taps + r * pitch;
            for (int c = 0; c < 3; ++c) {
                std::int32_t h = 0;
                for (int k2 = 0; k2 < 4; ++k2) {
                    h += wx[k2] * row[k2 * bpp + c];
                }
                sum[c] += wy[r] * (h >> kHorizontalShift);
            }
        }
        for (int c = 0; c < 3; ++c) {
            const std::int32_t value = (sum[c] + (1 << (kVerticalShift - 1))) >> kVerticalShift;
            out[c] = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
        }
    }
}

SampleRunFunction ChooseSampleRun(bool allowSimd) {
#if defined(__x86_64__) || defined(__i386__)
    if (allowSimd) {
        if (__builtin_cpu_supports("avx2")) {
            return SampleRunAvx2;
        }
        if (__builtin_cpu_supports("ssse3")) {
            return SampleRunSsse3;
        }
    }
#else
    (void)allowSimd;
#endif
    return SampleRunScalar;
}

void DrawHalftoneParallelogram(GdiBitmap& dest, const POINT points[3], const GdiBitmap& source,
                               int xSrc, int ySrc, int width, int height, bool allowSimd) {
    DrawHalftoneParallelogram(dest, points, source, xSrc, ySrc, width, height,
                              ChooseSampleRun(allowSimd));
}

void DrawHalftoneParallelogram(GdiBitmap& dest, const POINT points[3], const GdiBitmap& source,
                               int xSrc, int ySrc, int width, int height, SampleRunFunction run) {
    const DibFormat& f = source.format;
    if (points == nullptr || !dest.bits || !source.bits || width <= 0 || height <= 0 ||
        width > kMaxSourceSide || height > kMaxSourceSide || xSrc < 0 || ySrc < 0 ||
        xSrc > f.width - width || ySrc > f.height - height) {
        return;
    }
    PreparedSource prepared;
    // Drawing a bitmap onto itself reads from a copy taken first.
    if (!prepared.Prepare(source, xSrc, ySrc, width, height, &dest == &source)) {
        return;
    }
    Transfer transfer(dest, prepared.View(), run);
    if (!transfer.Setup(points) || !transfer.Allocate()) {
        return;
    }
    transfer.Run();
}

void HalftoneParallelogram(GdiBitmap& dest, const POINT points[3], const GdiBitmap& source,
                           int xSrc, int ySrc, int width, int height) {
    DrawHalftoneParallelogram(dest, points, source, xSrc, ySrc, width, height, true);
}

}  // namespace platform::detail
