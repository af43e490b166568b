// The instruction set that the tracer's inner loops (leaf tests, packet
// walks) run on. Every kernel gives the same pixels bit for bit; they differ
// only in speed.
#pragma once

namespace vantrel {

enum class Kernel {
    Scalar, // any processor; rays walked one at a time
    Avx2,   // 8 lanes: one ray against 8 spheres, packets of 8 rays
    Avx512, // 16 lanes: one ray against 16 spheres, packets of 16 rays
};

// Whether this build and this processor can run kernel.
bool kernelAvailable(Kernel kernel);

// The kernel in use unless another is selected: the fastest available.
Kernel bestKernel();

// Makes the tracer use kernel from now on; refused (false, nothing changed)
// when it is not available. A program-wide choice: make it while no other
// thread traces (a pool's threads read it when a batch starts).
bool selectKernel(Kernel kernel);

Kernel selectedKernel();

// "scalar", "avx2", "avx512", and back; false for any other name.
const char* kernelName(Kernel kernel);
bool kernelNamed(const char* name, Kernel& kernel);

} // namespace vantrel
