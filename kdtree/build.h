// The build driver: compiles a primitive list into a KdTree.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Depth budget of every build: no path has more than this many splits.
constexpr int32_t maxDepth = 20;

// method: 0 midpoint split, 1 cost-driven, 2 cost-driven with the empty-side
// rule. Stores the new tree through out; the caller owns it (releaseKdTree)
// and must keep the primitives in place while it is used. The list is not
// changed.
//
// Only spheres and triangles with finite bounds are built over; other entries
// (nested trees, unknown codes, shapes with NaN or infinite coordinates) are
// left out: none of them can be hit from a leaf. Input whose box is a single
// point (say, spheres of radius 0 at one spot) compiles to one leaf.
//
// A build that would take more than buildMemoryBudget() (build_budget.h)
// throws std::bad_alloc before it does, as a failed allocation does; out is
// left as it was and everything made so far is released.
//
// Any other method stores a null pointer through out and builds nothing.
void buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method);

// Whether the build takes the entry in: a sphere or a triangle with finite
// bounds.
bool isBuildable(const PrimitiveRef& ref);

} // namespace vantrel
