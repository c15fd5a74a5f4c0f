// The source rectangle is first turned into quintic B-spline coefficients
// (bspline5.h), then sampled. Sampling positions are stepped along a row in
// 32.32 fixed point from an exact start; the prefilter runs in floats with
// one fixed order of operations and the samplers in integers only, so the
// output is the same on every build, the portable and SIMD samplers agree
// byte for byte, and so do any numbers of threads.
#include "resample/transfer.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "pixels/row_codec.h"
#include "threads/parts.h"

namespace veerpic::resample {
namespace {

using pixels::DibFormat;
using pixels::Plane;
using pixels::RowCodec;
using pixels::Status;
using threads::PartStart;
using threads::RunParts;

// Reads the source rectangle's rows as blue, green, red for the prefilter:
// 24-bit rows where they are, 8-bit ones through a colour lookup, any other
// format through the row codec.
class SourceRows {
  public:
    SourceRows(const Plane& source, SourceRect r) : source_(source), r_(r), codec_(*source.format) {
        for (unsigned i = 0; i < 256; ++i) {
            codec_.IndexColor(i, lookup_[i]);
        }
    }

    PixelRows Rows() const {
        PixelRows rows;
        rows.width = r_.width;
        rows.height = r_.height;
        rows.bufferBytes = static_cast<std::size_t>(r_.x + r_.width) * pixels::kWorkingPixelBytes;
        rows.read = &Read;
        rows.context = this;
        if (source_.format->bitCount == 24) {
            rows.stored = &Stored;
        }
        return rows;
    }

  private:
    static const std::uint8_t* Stored(const void* context, std::int32_t y) {
        const SourceRows& s = *static_cast<const SourceRows*>(context);
        return s.source_.RowFromTop(s.r_.y + y) + 3 * static_cast<std::size_t>(s.r_.x);
    }

    static void Read(const void* context, std::int32_t y, std::uint8_t* out) {
        const SourceRows& s = *static_cast<const SourceRows*>(context);
        const DibFormat& f = *s.source_.format;
        const std::uint8_t* in = s.source_.RowFromTop(s.r_.y + y);
        const std::size_t x0 = static_cast<std::size_t>(s.r_.x);
        const std::size_t width = static_cast<std::size_t>(s.r_.width);
        if (f.bitCount == 8) {
            for (std::size_t x = 0; x < width; ++x) {
                std::memcpy(out + 3 * x, s.lookup_[in[x0 + x]], 3);
            }
        } else {
            s.codec_.Unpack(in, x0 + width, out);
            // Packed in place: byte 3x + c comes from 4 (x0 + x) + c, never before it.
            for (std::size_t x = 0; x < width; ++x) {
                for (std::size_t c = 0; c < 3; ++c) {
                    out[3 * x + c] = out[4 * (x0 + x) + c];
                }
            }
        }
    }

    const Plane& source_;
    SourceRect r_;
    RowCodec codec_;
    std::uint8_t lookup_[256][pixels::kWorkingPixelBytes];
};

// The source rectangle's spline coefficients, made by the prefilter on
// `threads` threads.
class PreparedSource {
  public:
    explicit PreparedSource(const WorkingMemory* memory) : memory_(memory) {}
    ~PreparedSource() {
        if (block_ == nullptr) {
            return;
        }
        if (memory_ != nullptr) {
            memory_->release(block_);
        } else {
            delete[] static_cast<std::int16_t*>(block_);
        }
    }
    PreparedSource(const PreparedSource&) = delete;
    PreparedSource& operator=(const PreparedSource&) = delete;

    bool Prepare(const Plane& source, SourceRect r, int threads) {
        const std::size_t values =
            static_cast<std::size_t>(r.width) * 3 * static_cast<std::size_t>(r.height);
        if (values / 3 / static_cast<std::size_t>(r.height) != static_cast<std::size_t>(r.width) ||
            values > SIZE_MAX / sizeof(std::int16_t)) {
            return false;
        }
        block_ = memory_ != nullptr ? memory_->allocate(values * sizeof(std::int16_t))
                                    : new (std::nothrow) std::int16_t[values];
        if (block_ == nullptr) {
            return false;
        }
        CoefficientPlane plane;
        plane.data = static_cast<std::int16_t*>(block_);
        plane.pitch = 3 * static_cast<std::ptrdiff_t>(r.width);
        plane.width = r.width;
        plane.height = r.height;
        const SourceRows rows(source, r);
        const PixelRows pixelRows = rows.Rows();
        std::atomic<bool> ok{true};
        RunParts(threads, [&](int part) {
            if (!PrefilterRows(pixelRows, plane, PartStart(r.height, part, threads),
                               PartStart(r.height, part + 1, threads))) {
                ok = false;
            }
        });
        if (!ok) {
            return false;
        }
        RunParts(threads, [&](int part) {
            if (!PrefilterColumns(plane, PartStart(r.width, part, threads),
                                  PartStart(r.width, part + 1, threads))) {
                ok = false;
            }
        });
        view_ = ViewOf(plane);
        return ok;
    }

    const SampleSource& View() const { return view_; }

  private:
    const WorkingMemory* memory_;
    void* block_ = nullptr;
    SampleSource view_;
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

    // Rows [first, end), at most kBandRows of them. The rows' fully covered
    // runs are sampled in strips of columns: a strip's rows read a narrow
    // band of the source, which stays in the caches, where whole rows at an
    // angle would each cross the source from edge to edge. Their edges are
    // blended after the runs: a blend reads the pixel it draws on, and a
    // fresh canvas page that is read before it is written is faulted in
    // twice, the second time with every core's view of it flushed. (Edges
    // and runs are different pixels, so the order does not change a byte.)
    void Draw(std::int32_t first, std::int32_t end) {
        runCount_ = 0;
        for (std::int32_t j = first; j < end; ++j) {
            DrawRow(j);
        }
        const std::int64_t width = dest_.format->width;
        for (std::int64_t strip = 0; strip < width; strip += kStripWidth) {
            for (std::size_t n = 0; n < runCount_; ++n) {
                const RowPlan& r = runs_[n].row;
                const std::int64_t from = std::max(r.full.first, strip);
                const std::int64_t to = std::min(r.full.end, strip + kStripWidth);
                if (from < to) {
                    const std::int64_t k = from - r.touched.first;
                    run_(source_, r.u0 + k * r.du, r.v0 + k * r.dv, r.du, r.dv,
                         static_cast<std::int32_t>(to - from), runs_[n].pixels + 3 * from);
                }
            }
        }
        for (std::size_t n = 0; n < runCount_; ++n) {
            BlendFringes(runs_[n].row, runs_[n].pixels);
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
                // Drawn with the band's other runs, strip by strip, and then
                // its edges.
                runs_[runCount_++] = {row, pixels};
            } else {
                Sample(row, row.full.first, row.full.end, pixels + 3 * row.full.first);
                BlendFringes(row, pixels);
            }
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

    // The touched pixels on either side of the row's fully covered ones.
    void BlendFringes(const RowPlan& row, std::uint8_t* pixels) {
        BlendFringe(row, row.touched.first, row.full.first, pixels);
        BlendFringe(row, row.full.end, row.touched.end, pixels);
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

    // A row whose fully covered run is sampled strip by strip.
    struct CoveredRun {
        RowPlan row;
        std::uint8_t* pixels;  // the row's first pixel
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

int TransferThreads(const Plane& dest, SourceRect rect) {
    // Small pictures are not worth a thread; larger ones use the machine's
    // cores, up to 8.
    const std::int64_t work = std::int64_t{dest.format->width} * dest.format->height +
                              std::int64_t{rect.width} * rect.height;
    if (work < (std::int64_t{1} << 18)) {
        return 1;
    }
    return threads::CoresToUse();
}

}  // namespace

Status TransferParallelogram(const Plane& dest, const Point points[3], const Plane& source,
                             SourceRect rect, bool allowSimd, const WorkingMemory* memory) {
    return TransferParallelogram(dest, points, source, rect, ChooseSampleRun(allowSimd), 0, memory);
}

Status TransferParallelogram(const Plane& dest, const Point points[3], const Plane& source,
                             SourceRect rect, SampleRunFunction run, int threads,
                             const WorkingMemory* memory) {
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
    if (threads <= 0) {
        threads = TransferThreads(dest, rect);
    }
    // The coefficients are a picture of their own, so drawing a picture onto
    // itself reads what it held before.
    PreparedSource prepared(memory);
    if (!prepared.Prepare(source, rect, threads)) {
        return Status::kOutOfMemory;
    }
    // Each thread has its own working memory for the bands it draws.
    std::vector<std::unique_ptr<BandTransfer>> transfers;
    for (int part = 0; part < threads; ++part) {
        transfers.push_back(std::make_unique<BandTransfer>(dest, prepared.View(), plan, run));
        if (!transfers.back()->Allocate()) {
            return Status::kOutOfMemory;
        }
    }
    // Each thread takes the next band not yet taken, so that threads that
    // draw faster draw more.
    std::atomic<std::int64_t> next{plan.FirstRow()};
    RunParts(threads, [&](int part) {
        for (std::int64_t band = next.fetch_add(kBandRows); band < plan.EndRow();
             band = next.fetch_add(kBandRows)) {
            const auto first = static_cast<std::int32_t>(band);
            transfers[static_cast<std::size_t>(part)]->Draw(
                first, std::min(plan.EndRow(), first + kBandRows));
        }
    });
    return Status::kOk;
}

}  // namespace veerpic::resample
