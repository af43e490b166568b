#include "vantrel/tracer/kernel.h"

#include <cstring>

#include "vantrel/tracer/cpu_features.h"
#include "vantrel/tracer/kernel_table_for.h"
#include "vantrel/tracer/lanes_scalar.h"

namespace vantrel {

namespace {

constexpr Kernel allKernels[] = {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512};

KernelTable tableOf(Kernel kernel) {
    KernelTable table;
    switch (kernel) {
#ifdef VANTREL_X86_KERNELS
    case Kernel::Avx512: {
        // Measured: the queries' walk 8-10% faster on eight lanes than on
        // sixteen, whose upper half tests padding; and about 6% faster on
        // occlusion rays built for AVX-512 than for AVX2, its 32 registers
        // holding what each node's test reuses.
        table = withOnePointWalk<avx512::Floats, avx512::EightFloats>(
            withBvhWalks<avx512::EightFloats>(kernelTableFor<avx512::Floats>()));
        break;
    }
    case Kernel::Avx2:
        table = withOnePointWalk<avx2::Floats, avx2::Floats>(kernelTableFor<avx2::Floats>());
        break;
#endif
    default:
        table = kernelTableFor<scalar::Floats>();
        kernel = Kernel::Scalar;
    }
    table.kernel = kernel;
    return table;
}

} // namespace

KernelTable kernelInUse = tableOf(bestKernel());

bool kernelAvailable(Kernel kernel) {
    switch (kernel) {
#ifdef VANTREL_X86_KERNELS
    case Kernel::Avx512:
        // Its walk of the queries' hierarchy is in AVX2's instructions.
        return cpuFeatures().avx512 && cpuFeatures().avx2;
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
    kernelInUse = tableOf(kernel);
    return true;
}

Kernel selectedKernel() {
    return kernelInUse.kernel;
}

const char* kernelName(Kernel kernel) {
    switch (kernel) {
    case Kernel::Avx512:
        return "avx512";
    case Kernel::Avx2:
        return "avx2";
    default:
        return "scalar";
    }
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
