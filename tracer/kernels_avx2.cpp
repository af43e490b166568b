// Built for AVX2: one ray against eight spheres, packets of eight rays, and
// eight rays from one point against each of a node's boxes.
#include "vantrel/tracer/kernel_table_for.h"
#include "vantrel/tracer/lanes_avx2.h"

namespace vantrel {

template KernelTable kernelTableFor<avx2::Floats>();
template KernelTable withOnePointWalk<avx2::Floats, avx2::Floats>(KernelTable table);

} // namespace vantrel
