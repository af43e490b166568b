// Placeholder until the cost-driven split methods land.
#include "kdtree/split_cost.h"

namespace vantrel {

const float kdTraversalCost = 3.0f;
const float kdIntersectionCost = 10.0f;

float evaluateSplit(const CKdNode&, float* costLower, float* costUpper, int32_t, float,
                    const float[3], const float[3], bool) {
    *costLower = 0.0f;
    *costUpper = 0.0f;
    return 0.0f;
}

void splitByCost(CKdNode& node, const CKdNode&, int32_t, int32_t) { node.isLeaf = true; }

} // namespace vantrel
