#include "tools/bench/tree_stats.h"

#include <utility>
#include <vector>

namespace vantrel {

TreeStats measureKdTree(const KdTree& tree) {
    TreeStats stats{};
    // An explicit stack: the walk must not depend on how deep a method grows.
    std::vector<std::pair<uint32_t, uint32_t>> pending; // node index, splits above it
    pending.emplace_back(0u, 0u);
    while (!pending.empty()) {
        const auto [index, depth] = pending.back();
        pending.pop_back();
        ++stats.nodes;
        const uint32_t code = tree.nodes[index].code;
        const uint32_t target = code >> kdIndexShift;
        if (code & kdLeafBit) {
            ++stats.leaves;
            if (code & kdEmptyBit)
                ++stats.emptyLeaves;
            const uint32_t count = tree.leaves[target].count;
            stats.references += count;
            if (count > stats.maxLeaf)
                stats.maxLeaf = count;
            if (depth > stats.depth)
                stats.depth = depth;
        } else {
            pending.emplace_back(target + 1, depth + 1);
            pending.emplace_back(target, depth + 1);
        }
    }
    return stats;
}

double averageLeafReferences(const TreeStats& stats) {
    const uint64_t filled = stats.leaves - stats.emptyLeaves;
    return filled == 0 ? 0.0 : static_cast<double>(stats.references) / static_cast<double>(filled);
}

} // namespace vantrel
