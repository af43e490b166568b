#include "vantrel/tracer/kernel.h"

#include <cstring>

#include "vantrel/tracer/cpu_features.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/lanes_scalar.h"

namespace vantrel {

namespace {

constexpr Kernel allKernels[] = {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512};
constexpr const char* kernelNames[] = {"scalar", "avx2", "avx512"};

KernelTable tableOf(Kernel kernel) {
    switch (kernel) {
#ifdef VANTREL_X86_KERNELS
    case Kernel::Avx512:
        return kernelTableFor<avx512::Floats>();
    case Kernel::Avx2:
        return kernelTableFor<avx2::Floats>();
#endif
    default:
        return kernelTableFor<scalar::Floats>();
    }
}

Kernel chosen = bestKernel();

} // namespace

KernelTable kernelInUse = tableOf(chosen);

bool kernelAvailable(Kernel kernel) {
    switch (kernel) {
#ifdef VANTREL_X86_KERNELS
    case Kernel::Avx512:
        return cpuFeatures().avx512;
    case Kernel::Avx2:
        return cpuFeatures().avx2;
#endif
    case Kernel::Scalar:
        return true;
    default:
        return false;
    }
}

Kernel bestKernel() {
    // AVX-512 before AVX2: a 4x4 packet shares each node and each leaf's
    // shapes among sixteen rays, and came out ahead on the sphere orbit and
    // on meshes alike.
    if (kernelAvailable(Kernel::Avx512))
        return Kernel::Avx512;
    if (kernelAvailable(Kernel::Avx2))
        return Kernel::Avx2;
    return Kernel::Scalar;
}

bool selectKernel(Kernel kernel) {
    if (!kernelAvailable(kernel))
        return false;
    chosen = kernel;
    kernelInUse = tableOf(kernel);
    return true;
}

Kernel selectedKernel() {
    return chosen;
}

const char* kernelName(Kernel kernel) {
    return kernelNames[static_cast<int>(kernel)];
}

bool kernelNamed(const char* name, Kernel& kernel) {
    for (const Kernel candidate : allKernels) {
        if (std::strcmp(name, kernelName(candidate)) == 0) {
            kernel = candidate;
            return true;
        }
    }
    return false;
}

} // namespace vantrel
