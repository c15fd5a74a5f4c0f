// Each band of the source is first turned into quintic B-spline
// coefficients (bspline5.h) in its thread's buffer, then sampled for the
// pixels that belong to it. Sampling positions are stepped along a row in
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

#include "pixels/row_codec.h"
#include "threads/parts.h"

namespace veerpic::resample {
namespace {

using pixels::DibFormat;
using pixels::Plane;
using pixels::RowCodec;
using pixels::Status;
using threads::RunParts;

// Rows the taps of a sample reach above and below its source row.
constexpr std::int32_t kTapsAbove = -kFirstTap;
constexpr std::int32_t kTapsBelow = kTaps + kFirstTap - 1;
// The most rows a band's buffer holds.
constexpr std::int32_t kBufferRows = kSourceBandRows + kTapsAbove + kTapsBelow + 2 * kBandHorizon;
// An open column end needs its horizon inside the window; the mirrored start
// of a closed one reads up to 28 rows.
static_assert(kSourceBandRows >= 28, "a band's window holds a closed end's start");

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

    // The rows from `window->top` on, `count` of them, read through `window`.
    struct Window {
        const SourceRows* rows = nullptr;
        std::int32_t top = 0;
    };
    PixelRows Rows(const Window* window, std::int32_t count) const {
        PixelRows rows;
        rows.width = r_.width;
        rows.height = count;
        rows.bufferBytes = static_cast<std::size_t>(r_.x + r_.width) * pixels::kWorkingPixelBytes;
        rows.read = &Read;
        rows.context = window;
        if (source_.format->bitCount == 24) {
            rows.stored = &Stored;
        }
        return rows;
    }

    // Row y of the rectangle as `width` blue, green, red triples, in a
    // buffer of Rows(...).bufferBytes.
    void ReadRow(std::int32_t y, std::uint8_t* out) const {
        const DibFormat& f = *source_.format;
        const std::uint8_t* in = source_.RowFromTop(r_.y + y);
        const std::size_t x0 = static_cast<std::size_t>(r_.x);
        const std::size_t width = static_cast<std::size_t>(r_.width);
        if (f.bitCount == 24) {
            std::memcpy(out, in + 3 * x0, 3 * width);
        } else if (f.bitCount == 8) {
            for (std::size_t x = 0; x < width; ++x) {
                std::memcpy(out + 3 * x, lookup_[in[x0 + x]], 3);
            }
        } else {
            codec_.Unpack(in, x0 + width, out);
            // Packed in place: byte 3x + c comes from 4 (x0 + x) + c, never before it.
            for (std::size_t x = 0; x < width; ++x) {
                for (std::size_t c = 0; c < 3; ++c) {
                    out[3 * x + c] = out[4 * (x0 + x) + c];
                }
            }
        }
    }

  private:
    static const std::uint8_t* Stored(const void* context, std::int32_t y) {
        const Window& w = *static_cast<const Window*>(context);
        const SourceRows& s = *w.rows;
        return s.source_.RowFromTop(s.r_.y + w.top + y) + 3 * static_cast<std::size_t>(s.r_.x);
    }

    static void Read(const void* context, std::int32_t y, std::uint8_t* out) {
        const Window& w = *static_cast<const Window*>(context);
        w.rows->ReadRow(w.top + y, out);
    }

    const Plane& source_;
    SourceRect r_;
    RowCodec codec_;
    std::uint8_t lookup_[256][pixels::kWorkingPixelBytes];
};

// `count` values of working memory from the caller's allocator, or the heap
// when none is given, released with the object.
template <typename Value>
class WorkingBlock {
  public:
    WorkingBlock() = default;
    ~WorkingBlock() { Release(); }
    WorkingBlock(const WorkingBlock&) = delete;
    WorkingBlock& operator=(const WorkingBlock&) = delete;

    bool Allocate(std::size_t count, const WorkingMemory* memory) {
        Release();
        if (count > SIZE_MAX / sizeof(Value)) {
            return false;
        }
        memory_ = memory;
        block_ = memory != nullptr ? static_cast<Value*>(memory->allocate(count * sizeof(Value)))
                                   : new (std::nothrow) Value[count];
        return block_ != nullptr;
    }
    Value* Get() const { return block_; }

  private:
    void Release() {
        if (block_ != nullptr) {
            if (memory_ != nullptr) {
                memory_->release(block_);
            } else {
                delete[] block_;
            }
        }
        block_ = nullptr;
    }

    const WorkingMemory* memory_ = nullptr;
    Value* block_ = nullptr;
};

// The source rectangle as 24-bit rows of its own, for a transfer whose
// destination shares memory with its source: the bands then read what the
// source held before anything was drawn.
class SourceCopy {
  public:
    bool Make(const Plane& source, SourceRect r, const WorkingMemory* memory) {
        const std::size_t rowBytes = 3 * static_cast<std::size_t>(r.width);
        const SourceRows rows(source, r);
        const SourceRows::Window window{&rows, 0};
        std::unique_ptr<std::uint8_t[]> row(new (std::nothrow)
                                                std::uint8_t[rows.Rows(&window, 1).bufferBytes]);
        if (!row || !block_.Allocate(rowBytes * static_cast<std::size_t>(r.height), memory)) {
            return false;
        }
        for (std::int32_t y = 0; y < r.height; ++y) {
            rows.ReadRow(y, row.get());
            std::memcpy(block_.Get() + rowBytes * static_cast<std::size_t>(y), row.get(), rowBytes);
        }
        format_.width = r.width;
        format_.height = r.height;
        format_.topDown = true;
        format_.bitCount = 24;
        format_.stride = static_cast<std::uint32_t>(rowBytes);
        return true;
    }
    Plane View() const { return {&format_, block_.Get()}; }

  private:
    WorkingBlock<std::uint8_t> block_;
    DibFormat format_;
};

bool SharesMemory(const Plane& a, const Plane& b) {
    auto start = [](const Plane& p) { return reinterpret_cast<std::uintptr_t>(p.bits); };
    auto end = [&](const Plane& p) {
        return start(p) +
               std::uintptr_t{p.format->stride} * static_cast<std::uintptr_t>(p.format->height);
    };
    return start(a) < end(b) && start(b) < end(a);
}

// Band `band` of a source `height` rows tall (of `bands`): its rows, the
// window of rows its buffer holds, and the limits on sample rows of its
// pixels (the first and the last band also take the positions beyond the
// source's edges). A source drawn whole (`whole`) is one band.
struct SourceBand {
    std::int32_t first = 0, end = 0;
    std::int32_t top = 0, bottom = 0;
    ColumnEnds ends;
    std::int64_t lowest = 0, limit = 0;

    SourceBand(std::int32_t band, std::int32_t bands, std::int32_t height, bool whole) {
        first = whole ? 0 : band * kSourceBandRows;
        end = whole ? height : std::min(height, first + kSourceBandRows);
        top = first - kTapsAbove - kBandHorizon;
        bottom = end + kTapsBelow + kBandHorizon;
        ends.openTop = top > 0;
        ends.openBottom = bottom < height;
        top = std::max(top, 0);
        bottom = std::min(bottom, height);
        lowest = band == 0 ? -kNoRowLimit : first;
        limit = band == bands - 1 ? kNoRowLimit : end;
    }
};

// What every band's worker shares.
struct Job {
    const Plane* dest = nullptr;
    const BandPlan* plan = nullptr;
    const SourceRows* rows = nullptr;
    SampleRunFunction run = nullptr;
    std::int32_t width = 0;  // the source rectangle
    std::int32_t height = 0;
    std::int32_t bands = 0;
    bool whole = false;
    std::int32_t bufferRows = 0;
};

// Blends a sample into a pixel by `alpha` in 0..256.
inline std::uint8_t Blend(std::uint8_t sample, std::uint8_t old, std::uint32_t alpha) {
    return static_cast<std::uint8_t>((sample * alpha + old * (256 - alpha) + 128) >> 8);
}

// One thread's work: it prefilters a band into its buffer and draws the
// band's pixels, band after band; its working memory serves every band.
class BandWorker {
  public:
    bool Allocate(const Job& job, const WorkingMemory* memory) {
        job_ = &job;
        codec_.reset(new (std::nothrow) RowCodec(*job.dest->format));
        const std::size_t width = static_cast<std::size_t>(job.dest->format->width);
        const std::size_t values = static_cast<std::size_t>(job.width) * 3;
        const std::size_t rows = static_cast<std::size_t>(job.bufferRows);
        const SourceRows::Window window{job.rows, 0};
        samples_.reset(new (std::nothrow) std::uint8_t[width * 3 + 4]);
        if (!IsRgb24()) {
            alpha_.reset(new (std::nothrow) std::uint16_t[width]);
            row_.reset(new (std::nothrow) std::uint8_t[width * pixels::kWorkingPixelBytes]);
        }
        return codec_ && samples_ && (IsRgb24() || (alpha_ && row_)) && values <= SIZE_MAX / rows &&
               buffer_.Allocate(values * rows, memory) &&
               prefilter_.Reserve(job.rows->Rows(&window, job.bufferRows), job.bufferRows);
    }

    // Prefilters the band, when any pixel belongs to it, and draws its
    // pixels. False when the prefilter could not have its working memory
    // (which Allocate reserved).
    bool Draw(std::int32_t band) {
        const SourceBand b(band, job_->bands, job_->height, job_->whole);
        const BandPlan& plan = *job_->plan;
        const Span rows = plan.RowsOfSourceRows(b.lowest, b.limit);
        bool prepared = false;
        for (std::int64_t j = rows.first; j < rows.end; ++j) {
            const RowPlan row = plan.PlanRow(static_cast<std::int32_t>(j));
            const Span piece = plan.ColumnsOfSourceRows(row, b.lowest, b.limit);
            if (piece.Empty()) {
                continue;
            }
            if (!prepared) {
                if (!Prefilter(b)) {
                    return false;
                }
                prepared = true;
            }
            DrawPiece(static_cast<std::int32_t>(j), row, piece);
        }
        return true;
    }

  private:
    bool IsRgb24() const { return job_->dest->format->bitCount == 24; }

    bool Prefilter(const SourceBand& b) {
        const std::int32_t rows = b.bottom - b.top;
        const SourceRows::Window window{job_->rows, b.top};
        CoefficientPlane plane;
        plane.data = buffer_.Get();
        plane.pitch = 3 * static_cast<std::ptrdiff_t>(job_->width);
        plane.width = job_->width;
        plane.height = rows;
        if (!PrefilterRows(job_->rows->Rows(&window, rows), plane, 0, rows, PrefilterPath::kBest,
                           &prefilter_) ||
            !PrefilterColumns(plane, 0, job_->width, PrefilterPath::kBest, b.ends, &prefilter_)) {
            return false;
        }
        // The buffer's row 0 is the source's row `top`.
        view_ = ViewOf(plane);
        offset_ = std::int64_t{b.top} << 32;
        return true;
    }

    // The columns `piece` of row j. A row's fully covered columns are drawn
    // before its edges: a blend reads the pixel it draws on, and a fresh
    // canvas page that is read before it is written is faulted in twice,
    // the second time with every core's view of it flushed. (Edges and runs
    // are different pixels, so the order does not change a byte.)
    void DrawPiece(std::int32_t j, const RowPlan& row, Span piece) {
        if (!IsRgb24()) {
            Sample(row, piece.first, piece.end, samples_.get());
            for (std::int64_t i = piece.first; i < piece.end; ++i) {
                alpha_[i - piece.first] = (i >= row.full.first && i < row.full.end)
                                              ? std::uint16_t{256}
                                              : job_->plan->Alpha(i, row.y2);
            }
            WriteThroughCodec(j, piece);
            return;
        }
        std::uint8_t* pixels = job_->dest->RowFromTop(j);
        const std::int64_t first = std::max(piece.first, row.full.first);
        const std::int64_t end = std::min(piece.end, row.full.end);
        Sample(row, first, end, pixels + 3 * first);
        BlendFringe(row, piece.first, std::min(piece.end, row.full.first), pixels);
        BlendFringe(row, std::max(piece.first, row.full.end), piece.end, pixels);
    }

    // Samples columns [first, end) of the row into out.
    void Sample(const RowPlan& row, std::int64_t first, std::int64_t end, std::uint8_t* out) {
        if (first >= end) {
            return;
        }
        if (row.stepped) {
            const std::int64_t k = first - row.touched.first;
            job_->run(view_, row.u0 + k * row.du, row.v0 + k * row.dv - offset_, row.du, row.dv,
                      static_cast<std::int32_t>(end - first), out);
            return;
        }
        for (std::int64_t i = first; i < end; ++i) {
            std::int64_t u = 0;
            std::int64_t v = 0;
            job_->plan->ExactPosition(i, row.y2, &u, &v);
            SampleRunScalar(view_, u, v - offset_, 0, 0, 1, out + 3 * (i - first));
        }
    }

    // Touched pixels [first, end) that are not fully covered.
    void BlendFringe(const RowPlan& row, std::int64_t first, std::int64_t end,
                     std::uint8_t* pixels) {
        if (first >= end) {
            return;
        }
        Sample(row, first, end, samples_.get());
        for (std::int64_t i = first; i < end; ++i) {
            const std::uint32_t alpha = job_->plan->Alpha(i, row.y2);
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

    // Destinations other than 24 bits: the piece's pixels are unpacked (from
    // the byte that holds the first of them), blended and packed back
    // (masks for 16 and 32 bits, the nearest colour-table entry for
    // palettes).
    void WriteThroughCodec(std::int32_t j, Span piece) {
        std::uint8_t* bits = job_->dest->RowFromTop(j);
        const std::int64_t bitCount = job_->dest->format->bitCount;
        const std::int64_t perByte = bitCount < 8 ? 8 / bitCount : 1;
        const std::int64_t from = piece.first - piece.first % perByte;
        codec_->Unpack(bits + from * bitCount / 8, static_cast<std::size_t>(piece.end - from),
                       row_.get());
        for (std::int64_t i = piece.first; i < piece.end; ++i) {
            const std::int64_t k = i - piece.first;
            if (alpha_[k] == 0) {
                continue;
            }
            std::uint8_t* old = row_.get() + pixels::kWorkingPixelBytes * (i - from);
            for (int c = 0; c < 3; ++c) {
                old[c] = Blend(samples_[3 * k + c], old[c], alpha_[k]);
            }
            codec_->Pack(bits, static_cast<std::size_t>(i), old);
        }
    }

    const Job* job_ = nullptr;
    std::unique_ptr<RowCodec> codec_;
    WorkingBlock<std::int16_t> buffer_;
    PrefilterMemory prefilter_;
    SampleSource view_;
    std::int64_t offset_ = 0;  // the band's first buffered row, in 32.32
    std::unique_ptr<std::uint8_t[]> samples_;
    std::unique_ptr<std::uint16_t[]> alpha_;
    std::unique_ptr<std::uint8_t[]> row_;
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

// Whether the bands' rows, looked at band by band, cost little beside the
// pixels: a canvas row crosses a band for every 256 rows of the source its
// positions step over, which stays a few dozen for any turn, but a
// parallelogram that squeezes thousands of source rows into a pixel would
// have every band look at rows of which few pixels belong to it. Such a
// source is drawn as one band, its coefficients made whole.
bool BandsPay(const BandPlan& plan, std::int32_t height, std::int32_t bands,
              std::int32_t destWidth) {
    const std::int64_t rows = std::int64_t{plan.EndRow()} - plan.FirstRow();
    const std::int64_t budget = 2 * rows + rows * destWidth / 64;
    std::int64_t looked = 0;
    for (std::int32_t band = 0; band < bands && looked <= budget; ++band) {
        const SourceBand b(band, bands, height, false);
        const Span r = plan.RowsOfSourceRows(b.lowest, b.limit);
        looked += std::max<std::int64_t>(0, r.end - r.first);
    }
    return looked <= budget;
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
    if (!plan.Setup(points, dest.format->width, dest.format->height, rect.width, rect.height) ||
        plan.FirstRow() >= plan.EndRow()) {
        return Status::kOk;  // no area, or none on the destination: nothing to draw
    }
    // A picture drawn onto itself reads what it held before.
    SourceCopy copy;
    Plane from = source;
    SourceRect fromRect = rect;
    if (SharesMemory(dest, source)) {
        if (!copy.Make(source, rect, memory)) {
            return Status::kOutOfMemory;
        }
        from = copy.View();
        fromRect = {0, 0, rect.width, rect.height};
    }
    const SourceRows rows(from, fromRect);

    Job job;
    job.dest = &dest;
    job.plan = &plan;
    job.rows = &rows;
    job.run = run;
    job.width = rect.width;
    job.height = rect.height;
    job.bands = (rect.height - 1) / kSourceBandRows + 1;
    job.whole = job.bands > 1 && !BandsPay(plan, rect.height, job.bands, dest.format->width);
    if (job.whole) {
        job.bands = 1;
    }
    job.bufferRows = job.whole ? rect.height : std::min(rect.height, kBufferRows);
    // Threads take bands. Their buffers together hold no more rows than the
    // source (a source of a few bands is drawn by fewer threads), and
    // destinations of less than a byte a pixel, whose bands share bytes at
    // their ends, are drawn by one.
    if (threads <= 0) {
        threads = TransferThreads(dest, rect);
    }
    threads = std::min({threads, job.bands, std::max(1, rect.height / job.bufferRows)});
    if (dest.format->bitCount < 8) {
        threads = 1;
    }
    std::unique_ptr<BandWorker[]> workers(new (std::nothrow) BandWorker[threads]);
    if (!workers) {
        return Status::kOutOfMemory;
    }
    for (int part = 0; part < threads; ++part) {
        if (!workers[part].Allocate(job, memory)) {
            return Status::kOutOfMemory;
        }
    }
    // Each thread takes the next band not yet taken, so that threads that
    // draw faster draw more.
    std::atomic<std::int32_t> next{0};
    std::atomic<bool> ok{true};
    RunParts(threads, [&](int part) {
        for (std::int32_t band = next++; band < job.bands; band = next++) {
            if (!workers[part].Draw(band)) {
                ok = false;
            }
        }
    });
    return ok ? Status::kOk : Status::kOutOfMemory;
}

}  // namespace veerpic::resample
