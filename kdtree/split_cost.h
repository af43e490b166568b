// Split methods 1 and 2: choose each plane by a surface-area cost estimate.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_node.h"

namespace vantrel {

// Cost of one child side, and the weight of one primitive times one unit of
// surface area.
constexpr float kdTraversalCost = 3.0f;
constexpr float kdIntersectionCost = 10.0f;

// Cost of cutting [boxMin, boxMax] at position on axis, counting node's list.
// Writes each side's cost and returns their sum.
float evaluateSplit(const CKdNode& node, float* costLower, float* costUpper, int32_t axis,
                    float position, const float boxMin[3], const float boxMax[3], bool emptyRule);

// Grows the subtree below node with method 1 or 2.
void splitByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method);

// splitByCost with the steps chosen by the caller: the literal plane search
// costs every candidate with a full pass over the list.
void splitByCostWith(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method,
                     BuildSteps steps);

// The literal search over a node whose axis and split hold the midpoint
// plane: leaves the cheapest plane in axis and split and returns its cost.
float searchCostPlaneLiteral(CKdNode& node, int32_t method);

} // namespace vantrel
