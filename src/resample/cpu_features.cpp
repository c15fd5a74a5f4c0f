#include "resample/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace veerpic::resample {

namespace {

CpuFeatures Probe() {
    CpuFeatures f;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    f.ssse3 = __builtin_cpu_supports("ssse3") != 0;
    f.avx2 = __builtin_cpu_supports("avx2") != 0;
    // AVX-VNNI is bit 4 of EAX in leaf 7, subleaf 1 (asked directly: not
    // every compiler's feature test knows it). Its registers are AVX's, which
    // the AVX2 test has found the system saving.
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    f.avxVnni =
        f.avx2 && __get_cpuid_count(7, 1, &eax, &ebx, &ecx, &edx) != 0 && (eax & (1u << 4)) != 0;
#endif
    return f;
}

}  // namespace

const CpuFeatures& ProcessorFeatures() {
    static const CpuFeatures features = Probe();
    return features;
}

}  // namespace veerpic::resample
