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
                                     bool allowSimd = true);
pixels::Status TransferParallelogram(const pixels::Plane& dest, const Point points[3],
                                     const pixels::Plane& source, SourceRect rect,
                                     SampleRunFunction run, int threads = 0);

}  // namespace veerpic::resample
