// The parallelogram transfer with halftone stretching: every destination
// pixel centre is mapped back into the source through the affine map that
// takes the source rectangle's corners to P0, P1, P2 (and P1 + P2 - P0), and
// the source is sampled there with the kernel. Pixels the parallelogram
// covers in part are blended with what the destination holds, by coverage;
// pixels it does not touch keep what they held.
//
// The source is drawn in bands of kSourceBandRows of its rows, each turned
// into spline coefficients on its own, in a buffer small enough to stay in
// the processor's cache while its pixels are sampled. Every touched pixel
// belongs to exactly one band (the band plan says which), so bands are
// independent: each writes only its own pixels and reads only the source,
// and their order does not change a byte.
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

// A band's rows. Its buffer holds them, the rows its samples' taps reach
// beyond them (2 above, 3 below), and kBandHorizon rows on either side over
// which the column recursions of the prefilter start where the source goes
// on: 37 rows more than the band, 14% more prefilter work. Its
// coefficients stay within a unit of those of the whole source (the start's
// error falls by 0.43 a row, to 1.4e-6 of it over 16 rows).
inline constexpr std::int32_t kSourceBandRows = 256;
inline constexpr std::int32_t kBandHorizon = 16;

// Where the transfer takes its large working blocks (the bands' buffers, 6
// bytes a pixel of a band's rows, one for each thread; a copy of the source
// rectangle when it is drawn onto itself) from and gives them back: the C++
// heap when none is given; a platform adapter may pass its own.
struct WorkingMemory {
    void* (*allocate)(std::size_t bytes) = nullptr;  // null when none can be had
    void (*release)(void* block) = nullptr;
};

// Draws `rect` of `source` onto `dest` through the corner points, with the
// sampler this machine runs best (allowSimd) or the portable one, or with
// the sampler given. The work runs on at most `threads` threads (0: as many
// as the picture's size and the machine's cores call for; never more than
// there are bands, nor more bands' buffers than the source has rows), all
// joined before it returns; their number does not change a byte. kOk also when the parallelogram
// has no area (nothing is drawn); kTooLarge for a rectangle wider or taller than kMaxSourceSide;
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
