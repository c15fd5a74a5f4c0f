// Quintic B-spline interpolation: the prefilter.
#include "resample/bspline5.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <memory>
#include <new>

namespace veerpic::resample {

#if defined(FLT_EVAL_METHOD)
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must round to float at every step");
#endif

namespace {

// The poles of the prefilter, and z / (z^2 - 1), which starts the
// anticausal recursion of a mirrored line.
constexpr float kPoles[2] = {-0.430575347099973791851434783493520110f,
                             -0.0430962882032646538227123768225501820f};
constexpr float kAnticausalStart[2] = {0.528569571222538f, 0.0431764794492362f};
// Terms of the causal start sum_k z^k x[k] over the mirrored line: |z|^K is
// below 2^-30 for these, far under a float's precision.
constexpr int kHorizon[2] = {28, 8};
// The prefilter's gain at zero frequency is 1 / 120 per dimension before
// this factor (the product of (1 - z)(1 - 1/z) over both poles).
constexpr float kGain = 120.0f;

// Scales of the stored values: row-filtered values and final coefficients.
constexpr float kIntermediateScale = 32.0f;
constexpr float kCoefficientScale = 1 << kCoefficientBits;

constexpr std::int32_t kRowBlock = 8;  // rows filtered together

// Filters kLanes independent lines of n values each, in place: value k of
// lane l is x[k][l]. Every lane sees the same operations in the same order,
// so a value does not depend on its lane nor on what the other lanes hold.
// A line of one value is its own coefficient.
template <int kLanes>
void FilterLines(float (*x)[kLanes], std::int64_t n) {
    if (n < 2) {
        return;
    }
    for (std::int64_t k = 0; k < n; ++k) {
        for (int l = 0; l < kLanes; ++l) {
            x[k][l] = x[k][l] * kGain;
        }
    }
    for (int p = 0; p < 2; ++p) {
        const float z = kPoles[p];
        // Causal: c[0] = sum_k z^k x[k] over the mirrored line, then
        // c[k] = x[k] + z c[k - 1].
        float start[kLanes];
        for (int l = 0; l < kLanes; ++l) {
            start[l] = x[0][l];
        }
        float zk = z;
        for (int k = 1; k < kHorizon[p]; ++k) {
            const float* xe = x[MirrorIndex(k, n)];
            for (int l = 0; l < kLanes; ++l) {
                start[l] = start[l] + zk * xe[l];
            }
            zk = zk * z;
        }
        for (int l = 0; l < kLanes; ++l) {
            x[0][l] = start[l];
        }
        for (std::int64_t k = 1; k < n; ++k) {
            for (int l = 0; l < kLanes; ++l) {
                x[k][l] = x[k][l] + z * x[k - 1][l];
            }
        }
        // Anticausal: the last value from the two before it (exact for a
        // mirrored line), then c[k] = z (c[k + 1] - c[k]).
        const float a = kAnticausalStart[p];
        for (int l = 0; l < kLanes; ++l) {
            x[n - 1][l] = a * (x[n - 1][l] + z * x[n - 2][l]);
        }
        for (std::int64_t k = n - 2; k >= 0; --k) {
            for (int l = 0; l < kLanes; ++l) {
                x[k][l] = z * (x[k + 1][l] - x[k][l]);
            }
        }
    }
}

// (v - 128) * scale rounded to the nearest integer, ties to even, and
// clamped to 16 bits. The filters' gains bound every value well below 2^22
// in magnitude, where adding and taking away 1.5 * 2^23 leaves a float's
// integer part.
inline std::int16_t Quantize(float v, float scale) {
    const float t = (v - static_cast<float>(kCoefficientOffset)) * scale;
    const auto r = static_cast<std::int32_t>((t + 12582912.0f) - 12582912.0f);
    return static_cast<std::int16_t>(std::min(std::max(r, -32768), 32767));
}

inline float Dequantize(std::int16_t s, float inverseScale) {
    return static_cast<float>(s) * inverseScale + static_cast<float>(kCoefficientOffset);
}

}  // namespace

bool PrefilterRows(const PixelRows& rows, const CoefficientPlane& plane, std::int32_t firstRow,
                   std::int32_t endRow) {
    const std::int64_t width = rows.width;
    if (firstRow >= endRow || width <= 0) {
        return true;
    }
    constexpr int kLanes = 3 * kRowBlock;
    const std::size_t bufferBytes = std::max(rows.bufferBytes, static_cast<std::size_t>(width) * 3);
    std::unique_ptr<std::uint8_t[]> bgr(new (std::nothrow) std::uint8_t[bufferBytes]);
    std::unique_ptr<float[][kLanes]> lines(
        new (std::nothrow) float[static_cast<std::size_t>(width)][kLanes]);
    if (!bgr || !lines) {
        return false;
    }
    for (std::int32_t y0 = firstRow; y0 < endRow; y0 += kRowBlock) {
        const std::int32_t count = std::min<std::int32_t>(kRowBlock, endRow - y0);
        for (std::int32_t r = 0; r < kRowBlock; ++r) {
            // A short last block fills its spare lanes with zeros.
            if (r < count) {
                rows.read(rows.context, y0 + r, bgr.get());
            } else if (r == count) {
                std::fill_n(bgr.get(), 3 * width, std::uint8_t{0});
            }
            for (std::int64_t x = 0; x < width; ++x) {
                lines[x][3 * r + 0] = bgr[3 * x + 0];
                lines[x][3 * r + 1] = bgr[3 * x + 1];
                lines[x][3 * r + 2] = bgr[3 * x + 2];
            }
        }
        FilterLines<kLanes>(lines.get(), width);
        // Quantized in place (the 16-bit values in the first half of each
        // step's floats, all lanes at once), then spread to the rows.
        for (std::int64_t x = 0; x < width; ++x) {
            std::int16_t values[kLanes];
            for (int l = 0; l < kLanes; ++l) {
                values[l] = Quantize(lines[x][l], kIntermediateScale);
            }
            std::memcpy(lines[x], values, sizeof(values));
        }
        for (std::int32_t r = 0; r < count; ++r) {
            std::int16_t* out = plane.Row(y0 + r);
            for (std::int64_t x = 0; x < width; ++x) {
                std::memcpy(out + 3 * x, reinterpret_cast<const char*>(lines[x]) + 6 * r, 6);
            }
        }
    }
    return true;
}

namespace {

// Columns [first, end) in strips of kLanes / 3 pixels; a short last strip
// fills its spare lanes with zeros.
template <int kLanes>
bool FilterColumnStrips(const CoefficientPlane& plane, std::int64_t first, std::int64_t end) {
    const std::int64_t height = plane.height;
    std::unique_ptr<float[][kLanes]> lines(
        new (std::nothrow) float[static_cast<std::size_t>(height)][kLanes]);
    if (!lines) {
        return false;
    }
    const float inverse = 1.0f / kIntermediateScale;
    for (std::int64_t x0 = first; x0 < end; x0 += kLanes / 3) {
        const std::size_t lanes =
            static_cast<std::size_t>(3 * std::min<std::int64_t>(kLanes / 3, end - x0));
        std::int16_t values[kLanes] = {};
        for (std::int64_t y = 0; y < height; ++y) {
            const std::int16_t* in = plane.data + plane.pitch * y + 3 * x0;
            if (lanes == kLanes) {
                std::memcpy(values, in, sizeof(values));  // a fixed size copies faster
            } else {
                std::memcpy(values, in, lanes * sizeof(*values));
            }
            for (int l = 0; l < kLanes; ++l) {
                lines[y][l] = Dequantize(values[l], inverse);
            }
        }
        FilterLines<kLanes>(lines.get(), height);
        for (std::int64_t y = 0; y < height; ++y) {
            for (int l = 0; l < kLanes; ++l) {
                values[l] = Quantize(lines[y][l], kCoefficientScale);
            }
            std::int16_t* out = plane.data + plane.pitch * y + 3 * x0;
            if (lanes == kLanes) {
                std::memcpy(out, values, sizeof(values));
            } else {
                std::memcpy(out, values, lanes * sizeof(*values));
            }
        }
    }
    return true;
}

}  // namespace

bool PrefilterColumns(const CoefficientPlane& plane, std::int32_t firstColumn,
                      std::int32_t endColumn) {
    if (firstColumn >= endColumn || plane.height <= 0) {
        return true;
    }
    // Strips as wide as keeps their lines within about 1.5 MiB, down to
    // single columns for very tall pictures.
    if (plane.height <= 4096) {
        return FilterColumnStrips<3 * 32>(plane, firstColumn, endColumn);
    }
    if (plane.height <= 16384) {
        return FilterColumnStrips<3 * 8>(plane, firstColumn, endColumn);
    }
    return FilterColumnStrips<3>(plane, firstColumn, endColumn);
}

bool Prefilter(const PixelRows& rows, const CoefficientPlane& plane) {
    return PrefilterRows(rows, plane, 0, plane.height) && PrefilterColumns(plane, 0, plane.width);
}

}  // namespace veerpic::resample
