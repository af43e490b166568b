#include "kdtree/split_midpoint.h"

#include "kdtree/split_rules.h"

namespace vantrel {

void splitMidpoint(CKdNode& node, const CKdNode& root, int32_t depth) {
    if (!startSplit(node, root, depth))
        return;
    createChildren(node);
    splitMidpoint(*node.left, root, depth - 1);
    splitMidpoint(*node.right, root, depth - 1);
}

} // namespace vantrel
