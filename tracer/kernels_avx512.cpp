// Built for AVX-512: one ray against sixteen spheres, packets of sixteen rays,
// a query's ray against a node's eight boxes on eight lanes, and sixteen
// rays from one point against each box.
#include "vantrel/tracer/kernel_table_for.h"
#include "vantrel/tracer/lanes_avx512.h"

namespace vantrel {

template KernelTable kernelTableFor<avx512::Floats>();
template KernelTable withBvhWalks<avx512::EightFloats>(KernelTable table);
template KernelTable withOnePointWalk<avx512::Floats, avx512::EightFloats>(KernelTable table);

} // namespace vantrel
