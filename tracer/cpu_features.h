// What the processor offers the vector kernels.
#pragma once

namespace vantrel {

struct CpuFeatures {
    bool avx2;   // with the fused multiply-add that comes with it
    bool avx512; // the F and VL subsets, with the system's support for their registers
};

// As the compiler's runtime probed the processor; cheap to ask again.
CpuFeatures cpuFeatures();

} // namespace vantrel
