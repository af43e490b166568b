// What the processor offers the vector kernels.
#pragma once

namespace vantrel {

struct CpuFeatures {
    bool avx2;
    bool avx512; // the F subset, with the system's support for its registers
};

// Probed once, at the first call.
const CpuFeatures& cpuFeatures();

} // namespace vantrel
