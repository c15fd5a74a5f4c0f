// Quintic B-spline interpolation: the prefilter.
#include "resample/bspline5.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <memory>
#include <new>

#include "resample/bspline5_lanes.h"
#include "resample/cpu_features.h"

namespace veerpic::resample {

#if defined(FLT_EVAL_METHOD)
static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must round to float at every step");
#endif
static_assert(sizeof(PrefilterLane) == sizeof(Lanes) && alignof(PrefilterLane) >= alignof(Lanes),
              "working lines hold the kernels' vectors");

void FilterRowBlockPortable(int vectors, const std::uint8_t* const* in, std::int16_t* const* out,
                            int count, std::int64_t width, void* lines) {
    FilterRowBlockOf(vectors, in, out, count, width, lines);
}

void FilterColumnBlockPortable(int vectors, const CoefficientPlane& plane, std::int64_t first,
                               std::int64_t count, ColumnEnds ends, void* lines) {
    FilterColumnBlockOf(vectors, plane, first, count, ends, lines);
}

namespace {

constexpr int kWideRow = 1 << 16;  // pixels: wider rows are filtered 8 at a time

// The block kernels for one instruction set.
struct LaneKernels {
    void (*rows)(int vectors, const std::uint8_t* const* in, std::int16_t* const* out, int count,
                 std::int64_t width, void* lines);
    void (*columns)(int vectors, const CoefficientPlane& plane, std::int64_t firstValue,
                    std::int64_t count, ColumnEnds ends, void* lines);
};

LaneKernels KernelsFor(PrefilterPath path) {
#if defined(__x86_64__) || defined(__i386__)
    if (path == PrefilterPath::kBest && ProcessorFeatures().avx2) {
        return {FilterRowBlockAvx2, FilterColumnBlockAvx2};
    }
#else
    (void)path;
#endif
    return {FilterRowBlockPortable, FilterColumnBlockPortable};
}

// What the rows stage works in: 16 rows at a time keep enough independent
// recursions in flight; very wide rows take 8 to bound the working memory.
// A buffer for each row read through `read`; rows read in place need only
// the one that stands for a short last block's spare rows.
struct RowStage {
    int vectors = 0;
    std::int32_t blockRows = 0;
    std::size_t rowBytes = 0;
    std::int32_t buffers = 0;
    std::size_t lines = 0;  // vectors of eight floats

    explicit RowStage(const PixelRows& rows)
        : vectors(rows.width > kWideRow ? 3 : 6),
          blockRows(vectors * kLaneWidth / 3),
          rowBytes(std::max(rows.bufferBytes, static_cast<std::size_t>(rows.width) * 3)),
          buffers(rows.stored != nullptr ? 1 : blockRows),
          lines(static_cast<std::size_t>(rows.width) * static_cast<std::size_t>(vectors) + 1) {}
    std::size_t Bytes() const { return rowBytes * static_cast<std::size_t>(buffers); }
};

// The columns stage: strips of 32 values keep enough recursions in flight and
// their lines (with the plane's lines they read) within the processor's
// second-level cache; very tall pictures take strips of 8.
int ColumnVectors(std::int64_t height) {
    return height <= 16384 ? 4 : 1;
}

std::size_t ColumnLines(std::int64_t height) {
    return static_cast<std::size_t>(height) * static_cast<std::size_t>(ColumnVectors(height));
}

}  // namespace

bool PrefilterMemory::Reserve(const PixelRows& rows, std::int32_t height) {
    const RowStage stage(rows);
    return Bytes(stage.Bytes()) != nullptr &&
           Lines(std::max(stage.lines, ColumnLines(height))) != nullptr;
}

std::uint8_t* PrefilterMemory::Bytes(std::size_t count) {
    if (count > byteCount_) {
        bytes_.reset(new (std::nothrow) std::uint8_t[count]);
        byteCount_ = bytes_ ? count : 0;
    }
    return bytes_.get();
}

PrefilterLane* PrefilterMemory::Lines(std::size_t count) {
    if (count > lineCount_) {
        lines_.reset(new (std::nothrow) PrefilterLane[count]);
        lineCount_ = lines_ ? count : 0;
    }
    return lines_.get();
}

bool PrefilterRows(const PixelRows& rows, const CoefficientPlane& plane, std::int32_t firstRow,
                   std::int32_t endRow, PrefilterPath path, PrefilterMemory* memory) {
    const std::int64_t width = rows.width;
    if (firstRow >= endRow || width <= 0) {
        return true;
    }
    const RowStage stage(rows);
    PrefilterMemory own;
    PrefilterMemory& m = memory != nullptr ? *memory : own;
    std::uint8_t* const bytes = m.Bytes(stage.Bytes());
    PrefilterLane* const lines = m.Lines(stage.lines);
    if (bytes == nullptr || lines == nullptr) {
        return false;
    }
    const LaneKernels kernels = KernelsFor(path);
    const std::uint8_t* in[16] = {};
    std::int16_t* out[16] = {};
    for (std::int32_t y0 = firstRow; y0 < endRow; y0 += stage.blockRows) {
        const std::int32_t count = std::min<std::int32_t>(stage.blockRows, endRow - y0);
        for (std::int32_t r = 0; r < stage.blockRows; ++r) {
            std::uint8_t* buffer =
                bytes + stage.rowBytes * static_cast<std::size_t>(r % stage.buffers);
            // A short last block fills its spare rows with zeros.
            if (r >= count) {
                std::fill_n(buffer, 3 * width, std::uint8_t{0});
                in[r] = buffer;
            } else if (rows.stored != nullptr) {
                in[r] = rows.stored(rows.context, y0 + r);
            } else {
                rows.read(rows.context, y0 + r, buffer);
                in[r] = buffer;
            }
            out[r] = plane.Row(y0 + std::min(r, count - 1));
        }
        kernels.rows(stage.vectors, in, out, count, width, lines);
    }
    return true;
}

bool PrefilterColumns(const CoefficientPlane& plane, std::int32_t firstColumn,
                      std::int32_t endColumn, PrefilterPath path, ColumnEnds ends,
                      PrefilterMemory* memory) {
    if (firstColumn >= endColumn || plane.height <= 0) {
        return true;
    }
    // Each of a row's values is a column of its own.
    const std::int64_t height = plane.height;
    const int vectors = ColumnVectors(height);
    PrefilterMemory own;
    PrefilterLane* const lines = (memory != nullptr ? *memory : own).Lines(ColumnLines(height));
    if (lines == nullptr) {
        return false;
    }
    const LaneKernels kernels = KernelsFor(path);
    const std::int64_t end = 3 * std::int64_t{endColumn};
    const std::int64_t strip = std::int64_t{vectors} * kLaneWidth;
    for (std::int64_t first = 3 * std::int64_t{firstColumn}; first < end; first += strip) {
        kernels.columns(vectors, plane, first, std::min(strip, end - first), ends, lines);
    }
    return true;
}

bool Prefilter(const PixelRows& rows, const CoefficientPlane& plane, PrefilterPath path) {
    return PrefilterRows(rows, plane, 0, plane.height, path) &&
           PrefilterColumns(plane, 0, plane.width, path);
}

}  // namespace veerpic::resample
