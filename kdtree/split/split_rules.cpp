#include "vantrel/kdtree/split/split_rules.h"

namespace vantrel {

namespace {

constexpr uint32_t leafEntryLimit = 3;
constexpr float thinFactor = 0.03f;

} // namespace

bool boxSplits(const float boxMin[3], const float boxMax[3], const float rootMin[3],
               const float rootMax[3], int32_t depth) {
    if (depth <= 0)
        return false;
    for (int k = 0; k < 3; ++k) {
        const float extent = boxMax[k] - boxMin[k];
        const float rootExtent = rootMax[k] - rootMin[k];
        if (extent < thinFactor * rootExtent)
            return false;
    }
    return true;
}

bool passesLeafTest(const CKdNode& node, const CKdNode& root, int32_t depth) {
    if (node.primitives.size() <= leafEntryLimit)
        return true;
    return !boxSplits(node.boundsMin, node.boundsMax, root.boundsMin, root.boundsMax, depth);
}

int32_t chooseSplitAxis(const CKdNode& node) {
    return chooseSplitAxis(node.boundsMin, node.boundsMax);
}

int32_t chooseSplitAxis(const float boxMin[3], const float boxMax[3]) {
    const float ex = boxMax[0] - boxMin[0];
    const float ey = boxMax[1] - boxMin[1];
    const float ez = boxMax[2] - boxMin[2];
    int32_t axis = 0;
    if (ey > ex)
        axis = 1;
    // z is weighed against y alone, so (10, 1, 5) splits on z.
    if (ez > ey)
        axis = 2;
    return axis;
}

bool startSplit(CKdNode& node, const CKdNode& root, int32_t depth) {
    if (passesLeafTest(node, root, depth)) {
        node.isLeaf = true;
        return false;
    }
    node.isLeaf = false;
    node.axis = chooseSplitAxis(node);
    node.split = (node.boundsMin[node.axis] + node.boundsMax[node.axis]) * 0.5f;
    return true;
}

} // namespace vantrel
