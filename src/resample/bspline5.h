// Quintic B-spline interpolation of 24-bit pictures.
//
// The picture is first turned into spline coefficients c (the prefilter):
// the spline sum_k c[k] b5(x - k) passes through every pixel value, where b5
// is the centred B-spline of degree 5. Sampling at any position then takes
// 6 x 6 coefficients around it with the spline's weights for the position's
// phase. In one dimension the prefilter is the inverse of the filter
// (1, 26, 66, 26, 1) / 120, which factors into two first-order recursions
// with the poles z1 and z2, each run forwards (causal) and backwards
// (anticausal) along a line; the picture is filtered along its rows and then
// along its columns.
//
// Edges: the picture is taken as mirrored about its first and last pixel
// (... 2 1 0 1 2 ... n-2 n-1 n-2 ...), in the prefilter's start values and
// in the taps of the sampler alike, so the interpolation conditions hold at
// the edge pixels too: sampling exactly at a pixel centre gives that pixel
// back, everywhere.
//
// Same bytes everywhere: the prefilter runs in single-precision floating
// point with one fixed order of operations per value (no contraction, no
// reassociation; vectorising across independent lines does not change a
// value) and rounds ties to even, so its coefficients are the same on every
// build and processor. The sampler is integer arithmetic.
//
// Coefficients are stored as 16-bit integers, (c - 128) * 4, blue, green,
// red per pixel: 6 bytes a pixel, about the size of the 24-bit picture twice.
// Their range is bounded: each one-dimensional prefilter has gain at most
// 7.5 (at the Nyquist frequency), so |c - 127.5| <= 7.5^2 * 127.5 < 7172,
// and (c - 128) * 4 fits 16 bits. Between the two passes the row-filtered
// values, within 127.5 +- 956.25, are kept at (h - 128) * 32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace veerpic::resample {

// The sampling kernel: six taps, at offsets -2 .. 3 from the pixel whose
// centre is at or before the position, for positions rounded to 1/256 of a
// pixel (the phase). Weights are non-negative integers summing to
// kWeightOne.
struct BSpline5Kernel {
    static constexpr int kTaps = 6;
    static constexpr int kFirstTap = -2;
    static constexpr int kPhaseBits = 8;
    static constexpr int kPhases = 1 << kPhaseBits;
    static constexpr int kWeightBits = 15;
    static constexpr std::int32_t kWeightOne = std::int32_t{1} << kWeightBits;
};

// weights[f][k]: tap k (offset k - 2) at phase f / 256; entries 6 and 7 are
// 0, so that a phase's row is 16 bytes for vector loads.
struct alignas(16) BSpline5WeightTable {
    std::int16_t weights[BSpline5Kernel::kPhases][8];
};

// The weights of b5 at t = f / 256 are polynomials with denominator
// 120 * 256^5, evaluated exactly in integers and rounded to 2^-15 so that
// they sum to exactly 1 and each is within 2^-15 of its value. Phase 0 gives
// (273, 7100, 18022, 7100, 273, 0), the filter (1, 26, 66, 26, 1) / 120 to
// within 2^-15.
constexpr BSpline5WeightTable MakeBSpline5WeightTable() {
    BSpline5WeightTable table{};
    constexpr std::int64_t n = BSpline5Kernel::kPhases;
    constexpr std::int64_t n2 = n * n, n3 = n2 * n, n4 = n3 * n, n5 = n4 * n;
    // From units of 1 / (120 * 2^40) to units of 2^-15.
    constexpr std::int64_t divisor = std::int64_t{15} << 28;
    for (std::int64_t f = 0; f < n; ++f) {
        const std::int64_t f2 = f * f, f3 = f2 * f, f4 = f3 * f, f5 = f4 * f;
        const std::int64_t g = n - f;
        const std::int64_t exact[6] = {
            g * g * g * g * g,
            26 * n5 - 50 * f * n4 + 20 * f2 * n3 + 20 * f3 * n2 - 20 * f4 * n + 5 * f5,
            66 * n5 - 60 * f2 * n3 + 30 * f4 * n - 10 * f5,
            26 * n5 + 50 * f * n4 + 20 * f2 * n3 - 20 * f3 * n2 - 20 * f4 * n + 10 * f5,
            n5 + 5 * f * n4 + 10 * f2 * n3 + 10 * f3 * n2 + 5 * f4 * n - 5 * f5,
            f5,
        };
        // Each weight rounded down, then the units missing from the sum
        // given one each to the weights with the largest remainders (the
        // first of equal ones), so that every weight is within one unit.
        std::int64_t rounded[6] = {};
        std::int64_t remainder[6] = {};
        std::int64_t missing = BSpline5Kernel::kWeightOne;
        for (int k = 0; k < 6; ++k) {
            rounded[k] = exact[k] / divisor;
            remainder[k] = exact[k] % divisor;
            missing -= rounded[k];
        }
        for (; missing > 0; --missing) {
            int best = 0;
            for (int k = 1; k < 6; ++k) {
                if (remainder[k] > remainder[best]) {
                    best = k;
                }
            }
            rounded[best] += 1;
            remainder[best] = -1;
        }
        for (int k = 0; k < 6; ++k) {
            table.weights[f][k] = static_cast<std::int16_t>(rounded[k]);
        }
    }
    return table;
}

inline constexpr BSpline5WeightTable kBSpline5Weights = MakeBSpline5WeightTable();

// Coefficients as stored: (c - kCoefficientOffset) * 2^kCoefficientBits.
inline constexpr int kCoefficientOffset = 128;
inline constexpr int kCoefficientBits = 2;

// A view of a picture's coefficients: blue, green, red per pixel, top row
// first.
struct CoefficientPlane {
    std::int16_t* data = nullptr;
    std::ptrdiff_t pitch = 0;  // elements from a row to the one below, >= 3 * width
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int16_t* Row(std::int32_t y) const { return data + pitch * y; }
};

// Where the prefilter reads the picture: `read` writes row y (0 = top) as
// `width` blue, green, red byte triples into a buffer of bufferBytes (at
// least 3 * width), which it may use as it likes before. It may be called
// from several threads at once.
struct PixelRows {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::size_t bufferBytes = 0;
    void (*read)(const void* context, std::int32_t y, std::uint8_t* bgr) = nullptr;
    const void* context = nullptr;
    // Where the picture's rows are already stored as blue, green, red
    // triples: row y's first byte, which the prefilter reads in place of a
    // copy (null: rows are read through `read`).
    const std::uint8_t* (*stored)(const void* context, std::int32_t y) = nullptr;
};

// Which code the prefilter runs: the portable one, or the fastest this
// processor has. Both give the same coefficients.
enum class PrefilterPath { kPortable, kBest };

// Where a plane's columns end. By default the plane is the whole picture and
// its columns end at the picture's first and last rows, mirrored there. An
// open end is one where the plane is a window of a taller picture: the
// column recursions start there as on a column that stays at its end value,
// and the error of that start fades by the larger pole, 0.43 a row, with the
// distance from that end (after 16 rows to 1.4e-6 of it), so the caller
// keeps only rows far enough inside.
struct ColumnEnds {
    bool openTop = false;
    bool openBottom = false;
};

// Eight floats: the unit of the prefilter's working lines.
struct alignas(32) PrefilterLane {
    float values[8];
};

// Working memory of the prefilter's stages that a caller filtering many
// parts of pictures one after another on one thread keeps from one call to
// the next (a stage given none allocates its own for the call).
class PrefilterMemory {
  public:
    // Room for both stages over rows read from `rows` and columns up to
    // `height` values long, so that they then ask for nothing more. False
    // when it cannot be had.
    bool Reserve(const PixelRows& rows, std::int32_t height);
    // At least `count` of each, kept for later calls; null when they cannot
    // be had.
    std::uint8_t* Bytes(std::size_t count);
    PrefilterLane* Lines(std::size_t count);

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t byteCount_ = 0;
    std::unique_ptr<PrefilterLane[]> lines_;
    std::size_t lineCount_ = 0;
};

// The prefilter in two stages, each over independent parts of the picture,
// so that parts may run on different threads (a stage must finish on every
// part before the next begins). `plane` has the picture's size.
//   Rows: rows [firstRow, endRow) are read and filtered along x into `plane`
//   (at the intermediate scale).
//   Columns: columns [firstColumn, endColumn) of `plane` are filtered along y
//   and left as final coefficients.
// Each returns false, leaving its part unfinished, when its working memory
// (about 200 bytes a pixel of a row, or 128 a row of a column strip) cannot
// be had.
bool PrefilterRows(const PixelRows& rows, const CoefficientPlane& plane, std::int32_t firstRow,
                   std::int32_t endRow, PrefilterPath path = PrefilterPath::kBest,
                   PrefilterMemory* memory = nullptr);
bool PrefilterColumns(const CoefficientPlane& plane, std::int32_t firstColumn,
                      std::int32_t endColumn, PrefilterPath path = PrefilterPath::kBest,
                      ColumnEnds ends = {}, PrefilterMemory* memory = nullptr);

// Both stages over the whole picture, on the calling thread.
bool Prefilter(const PixelRows& rows, const CoefficientPlane& plane,
               PrefilterPath path = PrefilterPath::kBest);

// The index that tap x reads in a line of n pixels, mirrored about the
// first and the last pixel. (Static: files compiled for other instruction
// sets keep their own copy.)
static inline std::int64_t MirrorIndex(std::int64_t x, std::int64_t n) {
    if (n <= 1) {
        return 0;
    }
    const std::int64_t period = 2 * (n - 1);
    std::int64_t m = x % period;
    if (m < 0) {
        m += period;
    }
    return m < n ? m : period - m;
}

}  // namespace veerpic::resample
