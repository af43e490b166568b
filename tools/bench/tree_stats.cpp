#include "tools/bench/tree_stats.h"

namespace vantrel {

TreeStats measureKdTree(const KdTree& tree) {
    TreeStats stats{};
    forEachNode(tree, [&](uint32_t, const KdTreeNode& node, uint32_t depth) {
        ++stats.nodes;
        if (!isLeafNode(node))
            return;
        ++stats.leaves;
        if (isEmptyLeaf(node))
            ++stats.emptyLeaves;
        const uint32_t count = tree.leaves[leafIndex(node)].count;
        stats.references += count;
        if (count > stats.maxLeaf)
            stats.maxLeaf = count;
        if (depth > stats.depth)
            stats.depth = depth;
    });
    return stats;
}

double averageLeafReferences(const TreeStats& stats) {
    const uint64_t filled = stats.leaves - stats.emptyLeaves;
    return filled == 0 ? 0.0 : static_cast<double>(stats.references) / static_cast<double>(filled);
}

} // namespace vantrel
