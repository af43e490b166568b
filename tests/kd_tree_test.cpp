#include <gtest/gtest.h>

#include <iterator>

#include "vantrel/kdtree/compile/compile.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/kd_node.h"

using namespace vantrel;

namespace {

Sphere spheres[4] = {
    {{0, 0, 0}, 1, {}}, {{1, 0, 0}, 1, {}}, {{2, 0, 0}, 1, {}}, {{3, 0, 0}, 1, {}}};

PrimitiveRef ref(int i) {
    return {&spheres[i], PrimitiveType::Sphere};
}

// entries front to back: inserted at the front, the last one first.
CKdNode* leaf(BuildContext& build, std::initializer_list<int> entries) {
    CKdNode* node = makeNode(build);
    node->isLeaf = true;
    for (auto i = std::rbegin(entries); i != std::rend(entries); ++i)
        node->primitives.push_front(ref(*i));
    return node;
}

void makeInner(CKdNode& node, int32_t axis, float split, CKdNode* left, CKdNode* right) {
    node.isLeaf = false;
    node.axis = axis;
    node.split = split;
    node.left = left;
    node.right = right;
}

} // namespace

TEST(CompileKdTree, FiveNodeExampleLayout) {
    BuildContext build;
    // Root split on x; lower child a leaf, upper child split on y into two leaves.
    CKdNode root(build);
    for (int k = 0; k < 3; ++k) {
        root.boundsMin[k] = -1.0f - k;
        root.boundsMax[k] = 4.0f + k;
    }
    CKdNode* upper = makeNode(build);
    makeInner(root, 0, 1.5f, leaf(build, {2, 1, 0}), upper);
    makeInner(*upper, 1, 0.25f, leaf(build, {}), leaf(build, {3}));

    uint32_t nodes = 0, leaves = 0;
    countNodes(root, nodes, leaves);
    EXPECT_EQ(nodes, 5u);
    EXPECT_EQ(leaves, 3u);

    KdTree* tree = nullptr;
    compileKdTree(root, &tree);
    ASSERT_NE(tree, nullptr);
    const uint32_t expected[5] = {1 * 8 + 0, 0 * 8 + 4, 3 * 8 + 1, 1 * 8 + 4 + 1, 2 * 8 + 4};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(tree->nodes[i].code, expected[i]) << "entry " << i;
    EXPECT_EQ(tree->nodes[0].split, 1.5f);
    EXPECT_EQ(tree->nodes[2].split, 0.25f);
    // Leaves in depth-first order, lower first; items in list order.
    ASSERT_EQ(tree->leaves[0].count, 3u);
    EXPECT_EQ(tree->leaves[0].items[0].object, &spheres[2]);
    EXPECT_EQ(tree->leaves[0].items[1].object, &spheres[1]);
    EXPECT_EQ(tree->leaves[0].items[2].object, &spheres[0]);
    EXPECT_EQ(tree->leaves[1].count, 0u);
    EXPECT_NE(tree->leaves[1].items, nullptr);
    ASSERT_EQ(tree->leaves[2].count, 1u);
    EXPECT_EQ(tree->leaves[2].items[0].object, &spheres[3]);
    EXPECT_TRUE(tree->leaves[2].items[0].type == PrimitiveType::Sphere);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(tree->boundsMin[k], -1.0f - k);
        EXPECT_EQ(tree->boundsMax[k], 4.0f + k);
    }
    EXPECT_EQ(tree->rayCount, 0u);
    EXPECT_EQ(tree->emptyLeafCount, 0u);
    EXPECT_EQ(tree->nodeVisitCount, 0u);
    releaseKdTree(tree);
}

TEST(CompileKdTree, PairsAreHandedOutDepthFirst) {
    BuildContext build;
    // Both children inner: the lower subtree's pairs come before the upper's.
    CKdNode root(build);
    CKdNode* lower = makeNode(build);
    CKdNode* upper = makeNode(build);
    makeInner(root, 2, 0, lower, upper);
    makeInner(*lower, 0, -1, leaf(build, {0}), leaf(build, {1}));
    makeInner(*upper, 1, 1, leaf(build, {2}), leaf(build, {3}));
    KdTree* tree = nullptr;
    compileKdTree(root, &tree);
    const uint32_t expected[7] = {8 + 2, 3 * 8 + 0, 5 * 8 + 1, 4, 8 + 4, 2 * 8 + 4, 3 * 8 + 4};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(tree->nodes[i].code, expected[i]) << "entry " << i;
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(tree->leaves[i].items[0].object, &spheres[i]);
    releaseKdTree(tree);
}

TEST(CompileKdTree, SingleLeafRoots) {
    BuildContext build;
    CKdNode full(build);
    full.isLeaf = true;
    full.primitives.push_front(ref(0));
    full.primitives.push_front(ref(3));
    KdTree* tree = nullptr;
    compileKdTree(full, &tree);
    EXPECT_EQ(tree->nodes[0].code, 4u);
    ASSERT_EQ(tree->leaves[0].count, 2u);
    EXPECT_EQ(tree->leaves[0].items[0].object, &spheres[3]);
    EXPECT_EQ(tree->leaves[0].items[1].object, &spheres[0]);
    releaseKdTree(tree);

    CKdNode empty(build);
    empty.isLeaf = true;
    computeBounds(empty);
    compileKdTree(empty, &tree);
    EXPECT_EQ(tree->nodes[0].code, 5u);
    EXPECT_EQ(tree->leaves[0].count, 0u);
    EXPECT_NE(tree->leaves[0].items, nullptr);
    EXPECT_EQ(tree->boundsMin[1], 3.40282347e38f);
    EXPECT_EQ(tree->boundsMax[1], -3.40282347e38f);
    releaseKdTree(tree);
    releaseKdTree(nullptr);
}
