// A hierarchy over triangles given as arrays, brought to moved vertices
// without a new build: the same nodes and leaves, each leaf's corners read
// again and each box made to fit them. A walk of it answers as a hierarchy
// built over the moved vertices does, since a walk's answer does not hang
// on the tree's shape; only its speed does, which bvhCost follows.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/bvh/build_bvh.h"

namespace vantrel {

// The corners of bvh's triangles, built from index triples indices, in the
// order its leaves hold them: three vertex indices a shape, so that a
// refit reads them in order rather than at each triangle's place.
std::vector<uint32_t> leafCorners(const QueryBvh& bvh, const uint32_t* indices);

// Refits bvh, whose leafCorners are corners, to vertices of the count it
// was built over. Every corner must be finite, as every corner of the
// build was: the build left out triangles that were not, which a refit
// cannot put back.
void refitBvh(QueryBvh& bvh, const float* vertices, const uint32_t* corners,
              const BuildThreads& threads);

// The surface area cost of a walk of bvh, relative to its bounds: each
// child's box's area, over the bounds' area, times its shapes for a leaf.
// A refit that lets boxes grow and overlap shows as a larger cost.
double bvhCost(const QueryBvh& bvh);

} // namespace vantrel
