#include "vantrel/kdtree/kd_tree.h"

#include "vantrel/kdtree/compile/compile.h"

namespace vantrel {

void releaseKdTree(KdTree* tree) {
    if (tree == nullptr)
        return;
    uint32_t leafCount = 0;
    forEachNode(*tree, [&](uint32_t, const KdTreeNode& node, uint32_t) {
        leafCount += isLeafNode(node) ? 1 : 0;
    });
    releaseKdTree(tree, leafCount);
}

} // namespace vantrel
