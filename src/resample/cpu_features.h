// What this processor offers the vector paths, probed once per process.
#pragma once

namespace veerpic::resample {

struct CpuFeatures {
    bool ssse3 = false;
    bool avx2 = false;
    bool avxVnni = false;  // with AVX2
};

// The features of the processor the process runs on; all false off x86.
const CpuFeatures& ProcessorFeatures();

}  // namespace veerpic::resample
