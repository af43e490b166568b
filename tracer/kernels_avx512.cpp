// Built for AVX-512: one ray against sixteen spheres, packets of sixteen rays.
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/lanes_avx512.h"

namespace vantrel {

template KernelTable kernelTableFor<avx512::Floats>();

} // namespace vantrel
