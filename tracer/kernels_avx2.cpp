// Built for AVX2: one ray against eight spheres, packets of eight rays.
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/lanes_avx2.h"

namespace vantrel {

template KernelTable kernelTableFor<avx2::Floats>();

} // namespace vantrel
