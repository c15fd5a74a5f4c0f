// The prefilter's block kernels compiled for AVX2: the same operations as
// the portable ones, eight lanes to an instruction.
#include "resample/bspline5_lanes.h"

namespace veerpic::resample {

#if defined(__x86_64__) || defined(__i386__)

void FilterRowBlockAvx2(int vectors, const std::uint8_t* const* in, std::int16_t* const* out,
                        int count, std::int64_t width, void* lines) {
    FilterRowBlockOf(vectors, in, out, count, width, lines);
}

void FilterColumnBlockAvx2(int vectors, const CoefficientPlane& plane, std::int64_t first,
                           std::int64_t count, ColumnEnds ends, void* lines) {
    FilterColumnBlockOf(vectors, plane, first, count, ends, lines);
}

#endif

}  // namespace veerpic::resample
