// Split methods 1 and 2: choose each plane by a surface-area cost estimate.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

// Cost of one child side, and the weight of one primitive times one unit of
// surface area.
constexpr float kdTraversalCost = 3.0f;
constexpr float kdIntersectionCost = 10.0f;

// Grows the subtree below node with method 1 or 2.
void splitByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method);

} // namespace vantrel
