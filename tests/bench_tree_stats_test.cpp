#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "tools/bench/tree_stats.h"

using namespace vantrel;

namespace {

using testing_support::HandTree;

// count references to nothing in particular: the figures only count them.
std::vector<PrimitiveRef> entries(uint32_t count) {
    return std::vector<PrimitiveRef>(count);
}

HandTree handTree() {
    return HandTree({0, 0, 0}, {1, 1, 1});
}

} // namespace

TEST(TreeStats, RootLeafHasDepthZero) {
    HandTree full = handTree();
    full.leaf(entries(7));
    const TreeStats stats = measureKdTree(full.finish());
    EXPECT_EQ(stats.nodes, 1u);
    EXPECT_EQ(stats.leaves, 1u);
    EXPECT_EQ(stats.emptyLeaves, 0u);
    EXPECT_EQ(stats.references, 7u);
    EXPECT_EQ(stats.maxLeaf, 7u);
    EXPECT_EQ(stats.depth, 0u);
    EXPECT_DOUBLE_EQ(averageLeafReferences(stats), 7.0);

    // An empty input: no non-empty leaf to average over.
    HandTree empty = handTree();
    empty.leaf({});
    const TreeStats emptyStats = measureKdTree(empty.finish());
    EXPECT_EQ(emptyStats.emptyLeaves, 1u);
    EXPECT_EQ(emptyStats.references, 0u);
    EXPECT_DOUBLE_EQ(averageLeafReferences(emptyStats), 0.0);
}

// Root split on x; lower child a leaf, upper child split on y into two leaves.
TEST(TreeStats, CountsFollowCodesFromTheRoot) {
    HandTree hand = handTree();
    hand.inner(0, 0.0f, 1);
    hand.leaf(entries(2));
    hand.inner(1, 1.0f, 3);
    hand.leaf({});
    hand.leaf(entries(5));
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
    HandTree hand = handTree();
    hand.inner(2, 0.0f, 1);
    hand.leaf(entries(1));
    hand.leaf(entries(1));
    hand.leaf(entries(50));
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
    HandTree hand = handTree();
    hand.inner(0, 0.0f, 1);
    for (uint32_t level = 1; level <= levels; ++level) {
        const uint32_t lower = hand.leaf(entries(level));
        if (level < levels)
            hand.inner(level % 3, 0.0f, lower + 2);
        else
            hand.leaf(entries(1));
    }
    const TreeStats stats = measureKdTree(hand.finish());
    EXPECT_EQ(stats.depth, levels);
    EXPECT_EQ(stats.nodes, 2u * levels + 1);
    EXPECT_EQ(stats.leaves, levels + 1u);
    EXPECT_EQ(stats.maxLeaf, levels);
}
