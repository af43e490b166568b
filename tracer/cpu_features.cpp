#include "vantrel/tracer/cpu_features.h"

namespace vantrel {

// The compiler's runtime probes the processor once and keeps the answer, so
// asking again costs a read.
CpuFeatures cpuFeatures() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    return {__builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0,
            __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512vl") != 0};
#else
    return {false, false};
#endif
}

} // namespace vantrel
