#include "kdtree/split_midpoint.h"

#include "kdtree/split_rules.h"

namespace vantrel {

void splitMidpoint(CKdNode& node, const CKdNode& root, int32_t depth) {
    if (passesLeafTest(node, root, depth)) {
        node.isLeaf = true;
        return;
    }
    node.isLeaf = false;
    node.axis = chooseSplitAxis(node);
    node.split = (node.boundsMin[node.axis] + node.boundsMax[node.axis]) * 0.5f;
    createChildren(node);
    splitMidpoint(*node.left, root, depth - 1);
    splitMidpoint(*node.right, root, depth - 1);
}

} // namespace vantrel
