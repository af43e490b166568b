#include "vantrel/kdtree/split/split_rules.h"

namespace vantrel {

namespace {

constexpr uint32_t leafEntryLimit = 3;
constexpr float thinFactor = 0.03f;

} // namespace

bool passesLeafTest(const CKdNode& node, const CKdNode& root, int32_t depth) {
    if (node.primitives.size() <= leafEntryLimit)
        return true;
    if (depth <= 0)
        return true;
    for (int k = 0; k < 3; ++k) {
        const float extent = node.boundsMax[k] - node.boundsMin[k];
        const float rootExtent = root.boundsMax[k] - root.boundsMin[k];
        if (extent < thinFactor * rootExtent)
            return true;
    }
    return false;
}

int32_t chooseSplitAxis(const CKdNode& node) {
    const float ex = node.boundsMax[0] - node.boundsMin[0];
    const float ey = node.boundsMax[1] - node.boundsMin[1];
    const float ez = node.boundsMax[2] - node.boundsMin[2];
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
