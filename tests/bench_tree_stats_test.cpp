#include <vector>

#include <gtest/gtest.h>

#include "tools/bench/tree_stats.h"

using namespace vantrel;

namespace {

uint32_t inner(uint32_t leftChild, uint32_t axis) {
    return innerNode(axis, 0.0f, leftChild).code;
}

uint32_t leaf(uint32_t index, bool empty) {
    return leafNode(index, empty).code;
}

// Owns the arrays of a hand-made compiled tree.
struct HandTree {
    std::vector<KdTreeNode> nodes;
    std::vector<PrimitiveList> leaves;
    std::vector<PrimitiveRef> refs = std::vector<PrimitiveRef>(64);
    KdTree tree{};

    void addLeaf(uint32_t count) { leaves.push_back({refs.data(), count}); }
    const KdTree& finish() {
        tree.nodes = nodes.data();
        tree.leaves = leaves.data();
        return tree;
    }
};

} // namespace

TEST(TreeStats, RootLeafHasDepthZero) {
    HandTree full;
    full.nodes = {{leaf(0, false), 0.0f}};
    full.addLeaf(7);
    const TreeStats stats = measureKdTree(full.finish());
    EXPECT_EQ(stats.nodes, 1u);
    EXPECT_EQ(stats.leaves, 1u);
    EXPECT_EQ(stats.emptyLeaves, 0u);
    EXPECT_EQ(stats.references, 7u);
    EXPECT_EQ(stats.maxLeaf, 7u);
    EXPECT_EQ(stats.depth, 0u);
    EXPECT_DOUBLE_EQ(averageLeafReferences(stats), 7.0);

    // An empty input: no non-empty leaf to average over.
    HandTree empty;
    empty.nodes = {{leaf(0, true), 0.0f}};
    empty.addLeaf(0);
    const TreeStats emptyStats = measureKdTree(empty.finish());
    EXPECT_EQ(emptyStats.emptyLeaves, 1u);
    EXPECT_EQ(emptyStats.references, 0u);
    EXPECT_DOUBLE_EQ(averageLeafReferences(emptyStats), 0.0);
}

// Root split on x; lower child a leaf, upper child split on y into two leaves.
TEST(TreeStats, CountsFollowCodesFromTheRoot) {
    HandTree hand;
    hand.nodes = {{inner(1, 0), 0.0f},
                  {leaf(0, false), 0.0f},
                  {inner(3, 1), 1.0f},
                  {leaf(1, true), 0.0f},
                  {leaf(2, false), 0.0f}};
    hand.addLeaf(2);
    hand.addLeaf(0);
    hand.addLeaf(5);
    const TreeStats stats = measureKdTree(hand.finish());
    EXPECT_EQ(stats.nodes, 5u);
    EXPECT_EQ(stats.leaves, 3u);
    EXPECT_EQ(stats.emptyLeaves, 1u);
    EXPECT_EQ(stats.references, 7u);
    EXPECT_EQ(stats.maxLeaf, 5u);
    EXPECT_EQ(stats.depth, 2u);
    EXPECT_DOUBLE_EQ(averageLeafReferences(stats), 3.5);
}

// Nodes past the reachable ones must not be counted: the record keeps no
// node count, so only the codes say what belongs to the tree.
TEST(TreeStats, IgnoresEntriesNoCodeLeadsTo) {
    HandTree hand;
    hand.nodes = {{inner(1, 2), 0.0f},
                  {leaf(0, false), 0.0f},
                  {leaf(1, false), 0.0f},
                  {leaf(2, false), 0.0f}};
    hand.addLeaf(1);
    hand.addLeaf(1);
    hand.addLeaf(50);
    const TreeStats stats = measureKdTree(hand.finish());
    EXPECT_EQ(stats.nodes, 3u);
    EXPECT_EQ(stats.leaves, 2u);
    EXPECT_EQ(stats.references, 2u);
    EXPECT_EQ(stats.maxLeaf, 1u);
}

// A lopsided chain where the deepest leaf sits on the upper side at every
// level, deeper than any recursion-friendly depth limit would suggest.
TEST(TreeStats, DepthIsTheLongestPathOnEitherSide) {
    constexpr uint32_t levels = 40;
    HandTree hand;
    hand.nodes.push_back({inner(1, 0), 0.0f});
    uint32_t nextLeaf = 0;
    for (uint32_t level = 1; level <= levels; ++level) {
        const uint32_t lower = static_cast<uint32_t>(hand.nodes.size());
        hand.nodes.push_back({leaf(nextLeaf++, false), 0.0f});
        hand.addLeaf(level);
        if (level < levels) {
            hand.nodes.push_back({inner(lower + 2, level % 3), 0.0f});
        } else {
            hand.nodes.push_back({leaf(nextLeaf++, false), 0.0f});
            hand.addLeaf(1);
        }
    }
    const TreeStats stats = measureKdTree(hand.finish());
    EXPECT_EQ(stats.depth, levels);
    EXPECT_EQ(stats.nodes, 2u * levels + 1);
    EXPECT_EQ(stats.leaves, levels + 1u);
    EXPECT_EQ(stats.maxLeaf, levels);
}
