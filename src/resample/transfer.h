// The parallelogram transfer with halftone stretching: every destination
// pixel centre is mapped back into the source through the affine map that
// takes the source rectangle's corners to P0, P1, P2 (and P1 + P2 - P0), and
// the source is sampled there with the kernel. Pixels the parallelogram
// covers in part are blended with what the destination holds, by coverage;
// pixels it does not touch keep what they held.
//
// Rows are drawn in bands of kBandRows. Bands are independent: each writes
// only its own rows and reads only the source, so their order does not
// change a byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pixels/dib_format.h"
#include "resample/band_plan.h"
#include "resample/sampler.h"

namespace veerpic::resample {

// The part of the source that is drawn.
struct SourceRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

inline constexpr std::int32_t kBandRows = 256;

// Where the transfer takes its largest working block (the source's spline
// coefficients, 6 bytes a pixel) from and gives it back: the C++ heap when
// none is given; a platform adapter may pass its own.
struct WorkingMemory {
    void* (*allocate)(std::size_t bytes) = nullptr;  // null when none can be had
    void (*release)(void* block) = nullptr;
};

// Draws `rect` of `source` onto `dest` through the corner points, with the
// sampler this machine runs best (allowSimd) or the portable one, or with
// the sampler given. The work runs on `threads` threads (0: as many as the
// picture's size and the machine's cores call for), all joined before it
// returns; their number does not change a byte. kOk also when the parallelogram has no area
// (nothing is drawn); kTooLarge for a rectangle wider or taller than kMaxSourceSide;
// kInvalidParameter for a rectangle outside the source; kOutOfMemory when
// working memory cannot be had (nothing is drawn then).
pixels::Status TransferParallelogram(const pixels::Plane& dest, const Point points[3],
                                     const pixels::Plane& source, SourceRect rect,
                                     bool allowSimd = true, const WorkingMemory* memory = nullptr);
pixels::Status TransferParallelogram(const pixels::Plane& dest, const Point points[3],
                                     const pixels::Plane& source, SourceRect rect,
                                     SampleRunFunction run, int threads = 0,
                                     const WorkingMemory* memory = nullptr);

}  // namespace veerpic::resample
