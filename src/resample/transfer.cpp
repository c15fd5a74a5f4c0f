// Sampling positions are stepped along a row in 32.32 fixed point from an
// exact start, and the samplers compute in integers only, so the output is
// the same on every build, and the portable and SIMD samplers agree byte for
// byte.
#include "resample/transfer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "pixels/row_codec.h"

namespace veerpic::resample {
namespace {

using pixels::DibFormat;
using pixels::Plane;
using pixels::RowCodec;
using pixels::Status;

bool IsPlainRgb32(const DibFormat& f) {
    return f.bitCount == 32 && pixels::HasRgbLayout(f);
}

// The source rectangle as the samplers read it. 24-bit and plain 32-bit
// sources are read where they are; any other format (palettes, masks) is
// converted once into packed 24-bit rows, so that no tap looks anything up.
class PreparedSource {
  public:
    bool Prepare(const Plane& source, SourceRect r, bool mustCopy) {
        const DibFormat& f = *source.format;
        view_.width = r.width;
        view_.height = r.height;
        view_.fastMaxY = std::max<std::int64_t>(r.height - 3, 0);
        if (!mustCopy && (f.bitCount == 24 || IsPlainRgb32(f))) {
            const int bpp = f.bitCount / 8;
            view_.bytesPerPixel = bpp;
            view_.origin = source.RowFromTop(r.y) + static_cast<std::ptrdiff_t>(r.x) * bpp;
            view_.pitch = f.topDown ? static_cast<std::ptrdiff_t>(f.stride)
                                    : -static_cast<std::ptrdiff_t>(f.stride);
            // The 16-byte load from tap x0 - 1 ends at byte (x + x0 - 1) * bpp + 16
            // of the row, which must not pass the row's end.
            const std::int64_t byLoad =
                f.stride < 16 ? 0 : (static_cast<std::int64_t>(f.stride) - 16) / bpp + 1 - r.x;
            view_.fastMaxX = std::max<std::int64_t>(
                0, std::min<std::int64_t>(std::int64_t{r.width} - 3, byLoad));
            return true;
        }
        // Packed rows of width * 3 bytes, and 16 spare bytes so that every
        // fast load stays inside.
        const std::size_t pitch = static_cast<std::size_t>(r.width) * 3;
        const std::size_t total = pitch * static_cast<std::size_t>(r.height) + 16;
        copy_.reset(new (std::nothrow) std::uint8_t[total]);
        std::unique_ptr<std::uint8_t[]> row(
            new (std::nothrow)
                std::uint8_t[static_cast<std::size_t>(f.width) * pixels::kWorkingPixelBytes]);
        if (!copy_ || !row) {
            return false;
        }
        const RowCodec codec(f);
        // 8-bit rows look their colours up in a table made once.
        std::uint8_t lookup[256][pixels::kWorkingPixelBytes];
        for (unsigned i = 0; i < 256; ++i) {
            codec.IndexColor(i, lookup[i]);
        }
        for (int y = 0; y < r.height; ++y) {
            const std::uint8_t* in = source.RowFromTop(r.y + y);
            std::uint8_t* out = copy_.get() + pitch * static_cast<std::size_t>(y);
            if (f.bitCount == 8) {
                for (int x = 0; x < r.width; ++x) {
                    std::memcpy(out + 3 * x, lookup[in[r.x + x]], 3);
                }
                continue;
            }
            codec.Unpack(in, static_cast<std::size_t>(r.x + r.width), row.get());
            const std::uint8_t* working = row.get() + static_cast<std::size_t>(r.x) * 4;
            for (int x = 0; x < r.width; ++x) {
                std::memcpy(out + 3 * x, working + 4 * x, 3);
            }
        }
        std::memset(copy_.get() + total - 16, 0, 16);
        view_.bytesPerPixel = 3;
        view_.origin = copy_.get();
        view_.pitch = static_cast<std::ptrdiff_t>(pitch);
        view_.fastMaxX = std::max<std::int64_t>(0, std::int64_t{r.width} - 3);
        return true;
    }

    const SampleSource& View() const { return view_; }

  private:
    SampleSource view_;
    std::unique_ptr<std::uint8_t[]> copy_;
};

// Blends a sample into a pixel by `alpha` in 0..256.
inline std::uint8_t Blend(std::uint8_t sample, std::uint8_t old, std::uint32_t alpha) {
    return static_cast<std::uint8_t>((sample * alpha + old * (256 - alpha) + 128) >> 8);
}

// Draws the rows of one band at a time; its working memory serves every band.
class BandTransfer {
  public:
    BandTransfer(const Plane& dest, const SampleSource& source, const BandPlan& plan,
                 SampleRunFunction run)
        : dest_(dest), source_(source), plan_(plan), run_(run), codec_(*dest.format) {}

    bool Allocate() {
        const std::size_t width = static_cast<std::size_t>(dest_.format->width);
        samples_.reset(new (std::nothrow) std::uint8_t[width * 3 + 4]);
        alpha_.reset(new (std::nothrow) std::uint16_t[width]);
        if (IsRgb24()) {
            runs_.reset(new (std::nothrow) CoveredRun[kBandRows]);
        } else {
            row_.reset(new (std::nothrow) std::uint8_t[width * pixels::kWorkingPixelBytes]);
        }
        return samples_ && alpha_ && (IsRgb24() ? runs_ != nullptr : row_ != nullptr);
    }

    // Rows [first, end), at most kBandRows of them. The edges of the rows
    // are drawn row by row; their fully covered runs are then sampled in
    // strips of columns: a strip's rows read a narrow band of the source,
    // which stays in the caches, where whole rows at an angle would each
    // cross the source from edge to edge.
    void Draw(std::int32_t first, std::int32_t end) {
        runCount_ = 0;
        for (std::int32_t j = first; j < end; ++j) {
            DrawRow(j);
        }
        const std::int64_t width = dest_.format->width;
        for (std::int64_t strip = 0; strip < width; strip += kStripWidth) {
            for (std::size_t n = 0; n < runCount_; ++n) {
                const CoveredRun& r = runs_[n];
                const std::int64_t from = std::max(r.first, strip);
                const std::int64_t to = std::min(r.end, strip + kStripWidth);
                if (from < to) {
                    const std::int64_t k = from - r.first;
                    run_(source_, r.u + k * r.du, r.v + k * r.dv, r.du, r.dv,
                         static_cast<std::int32_t>(to - from), r.pixels + 3 * k);
                }
            }
        }
    }

  private:
    bool IsRgb24() const { return dest_.format->bitCount == 24; }

    void DrawRow(std::int32_t j) {
        const RowPlan row = plan_.PlanRow(j);
        if (row.touched.Empty()) {
            return;
        }
        if (IsRgb24()) {
            std::uint8_t* pixels = dest_.RowFromTop(j);
            if (row.stepped && !row.full.Empty()) {
                // Drawn after all rows' edges, strip by strip.
                const std::int64_t k = row.full.first - row.touched.first;
                runs_[runCount_++] = {
                    row.full.first, row.full.end, row.u0 + k * row.du,        row.v0 + k * row.dv,
                    row.du,         row.dv,       pixels + 3 * row.full.first};
            } else {
                Sample(row, row.full.first, row.full.end, pixels + 3 * row.full.first);
            }
            BlendFringe(row, row.touched.first, row.full.first, pixels);
            BlendFringe(row, row.full.end, row.touched.end, pixels);
            return;
        }
        Sample(row, row.touched.first, row.touched.end, samples_.get());
        for (std::int64_t i = row.touched.first; i < row.touched.end; ++i) {
            alpha_[i - row.touched.first] = (i >= row.full.first && i < row.full.end)
                                                ? std::uint16_t{256}
                                                : plan_.Alpha(i, row.y2);
        }
        WriteThroughCodec(j, row.touched);
    }

    // Samples columns [first, end) of the row into out.
    void Sample(const RowPlan& row, std::int64_t first, std::int64_t end, std::uint8_t* out) {
        if (first >= end) {
            return;
        }
        if (row.stepped) {
            const std::int64_t k = first - row.touched.first;
            run_(source_, row.u0 + k * row.du, row.v0 + k * row.dv, row.du, row.dv,
                 static_cast<std::int32_t>(end - first), out);
            return;
        }
        for (std::int64_t i = first; i < end; ++i) {
            std::int64_t u = 0;
            std::int64_t v = 0;
            plan_.ExactPosition(i, row.y2, &u, &v);
            SampleRunScalar(source_, u, v, 0, 0, 1, out + 3 * (i - first));
        }
    }

    void BlendFringe(const RowPlan& row, std::int64_t first, std::int64_t end,
                     std::uint8_t* pixels) {
        if (first >= end) {
            return;
        }
        Sample(row, first, end, samples_.get());
        for (std::int64_t i = first; i < end; ++i) {
            const std::uint32_t alpha = plan_.Alpha(i, row.y2);
            if (alpha == 0) {
                continue;
            }
            const std::uint8_t* sample = samples_.get() + 3 * (i - first);
            std::uint8_t* pixel = pixels + 3 * i;
            for (int c = 0; c < 3; ++c) {
                pixel[c] = Blend(sample[c], pixel[c], alpha);
            }
        }
    }

    // Destinations other than 24 bits: the row is unpacked, the touched
    // pixels blended and packed back (masks for 16 and 32 bits, the nearest
    // colour-table entry for palettes).
    void WriteThroughCodec(std::int32_t j, Span touched) {
        std::uint8_t* bits = dest_.RowFromTop(j);
        codec_.Unpack(bits, static_cast<std::size_t>(touched.end), row_.get());
        for (std::int64_t i = touched.first; i < touched.end; ++i) {
            const std::int64_t k = i - touched.first;
            if (alpha_[k] == 0) {
                continue;
            }
            std::uint8_t* old = row_.get() + 4 * i;
            for (int c = 0; c < 3; ++c) {
                old[c] = Blend(samples_[3 * k + c], old[c], alpha_[k]);
            }
            codec_.Pack(bits, static_cast<std::size_t>(i), old);
        }
    }

    // A fully covered run of a row, to be sampled strip by strip.
    struct CoveredRun {
        std::int64_t first, end;    // columns
        std::int64_t u, v, du, dv;  // positions at `first` and their steps
        std::uint8_t* pixels;       // the destination pixel at `first`
    };
    static constexpr std::int64_t kStripWidth = 64;

    const Plane& dest_;
    const SampleSource& source_;
    const BandPlan& plan_;
    SampleRunFunction run_;
    RowCodec codec_;
    std::unique_ptr<std::uint8_t[]> samples_;
    std::unique_ptr<std::uint16_t[]> alpha_;
    std::unique_ptr<std::uint8_t[]> row_;
    std::unique_ptr<CoveredRun[]> runs_;
    std::size_t runCount_ = 0;
};

}  // namespace

Status TransferParallelogram(const Plane& dest, const Point points[3], const Plane& source,
                             SourceRect rect, bool allowSimd) {
    return TransferParallelogram(dest, points, source, rect, ChooseSampleRun(allowSimd));
}

Status TransferParallelogram(const Plane& dest, const Point points[3], const Plane& source,
                             SourceRect rect, SampleRunFunction run) {
    const DibFormat& f = *source.format;
    if (points == nullptr || dest.bits == nullptr || source.bits == nullptr || rect.width <= 0 ||
        rect.height <= 0 || rect.x < 0 || rect.y < 0 || rect.x > f.width - rect.width ||
        rect.y > f.height - rect.height) {
        return Status::kInvalidParameter;
    }
    if (rect.width > kMaxSourceSide || rect.height > kMaxSourceSide) {
        return Status::kTooLarge;
    }
    BandPlan plan;
    if (!plan.Setup(points, dest.format->width, dest.format->height, rect.width, rect.height)) {
        return Status::kOk;  // no area: nothing to draw
    }
    PreparedSource prepared;
    // Drawing a picture onto itself reads from a copy taken first.
    if (!prepared.Prepare(source, rect, dest.bits == source.bits)) {
        return Status::kOutOfMemory;
    }
    BandTransfer transfer(dest, prepared.View(), plan, run);
    if (!transfer.Allocate()) {
        return Status::kOutOfMemory;
    }
    for (std::int32_t band = plan.FirstRow(); band < plan.EndRow(); band += kBandRows) {
        transfer.Draw(band, std::min(plan.EndRow(), band + kBandRows));
    }
    return Status::kOk;
}

}  // namespace veerpic::resample
