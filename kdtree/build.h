// The build driver: compiles a primitive list into a KdTree.
#pragma once

#include <cstdint>

#include "kdtree/kd_tree.h"
#include "scene/records.h"

namespace vantrel {

// Depth budget of every build: no path has more than this many splits.
constexpr int32_t maxDepth = 20;

// method: 0 midpoint split, 1 cost-driven, 2 cost-driven with the empty-side
// rule. Stores the new tree through out; the caller owns it and must keep the
// primitives in place while it is used. The list is not changed.
void buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method);

} // namespace vantrel
