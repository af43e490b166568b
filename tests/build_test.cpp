#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/compile/compile.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/kdtree/split/split_midpoint.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

std::vector<PrimitiveRef> refsOf(std::vector<Sphere>& spheres) {
    std::vector<PrimitiveRef> refs;
    for (Sphere& s : spheres)
        refs.push_back({&s, PrimitiveType::Sphere});
    return refs;
}

// Maximum number of splits on any path below node.
int depthOf(const KdTree& tree, uint32_t index) {
    const KdTreeNode& node = tree.nodes[index];
    if (isLeafNode(node))
        return 0;
    const uint32_t child = lowerChild(node);
    return 1 + std::max(depthOf(tree, child), depthOf(tree, child + 1));
}

} // namespace

TEST(BuildKdTree, EmptyInputIsOneEmptyLeaf) {
    const Tree b = buildTree({});
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->nodes[0].code, 5u);
    EXPECT_EQ(b->leaves[0].count, 0u);
    EXPECT_NE(b->leaves[0].items, nullptr);
    EXPECT_EQ(b->boundsMin[0], 3.40282347e38f);
    EXPECT_EQ(b->boundsMax[2], -3.40282347e38f);
}

TEST(BuildKdTree, UpToThreeEntriesStayInOneLeafInReverseOrder) {
    std::vector<Sphere> spheres = {{{0, 0, 0}, 1, {}}, {{9, 0, 0}, 1, {}}};
    Triangle tri{{0, 5, 0}, {1, 5, 0}, {0, 6, 1}, {}};
    std::vector<PrimitiveRef> refs = refsOf(spheres);
    refs.push_back({&tri, PrimitiveType::Triangle});
    const Tree b = buildTree(refs);
    EXPECT_EQ(b->nodes[0].code, 4u);
    ASSERT_EQ(b->leaves[0].count, 3u);
    EXPECT_EQ(b->leaves[0].items[0].object, &tri);
    EXPECT_EQ(b->leaves[0].items[1].object, &spheres[1]);
    EXPECT_EQ(b->leaves[0].items[2].object, &spheres[0]);
    EXPECT_EQ(b->boundsMin[0], -1.0f);
    EXPECT_EQ(b->boundsMax[0], 10.0f);
    EXPECT_EQ(b->boundsMax[1], 6.0f);
    // The input is untouched and the tree keeps its own copies.
    EXPECT_EQ(refs[0].object, &spheres[0]);
    refs.assign(3, PrimitiveRef{nullptr, PrimitiveType::Sphere});
    EXPECT_EQ(b->leaves[0].items[2].object, &spheres[0]);
}

TEST(BuildKdTree, FourSpheresSplitAtTheMiddleOfTheChosenAxis) {
    // Root extents (10, 1, 5): z is chosen although x is the longest.
    std::vector<Sphere> spheres = {
        {{0, 0, 0}, 0.5f, {}}, {{9, 0, 4}, 0.5f, {}}, {{0, 0, 4}, 0.5f, {}}, {{9, 0, 0}, 0.5f, {}}};
    const Tree b = buildTree(refsOf(spheres));
    const KdTreeNode& root = b->nodes[0];
    EXPECT_EQ(root.code, 8u + 2u);
    EXPECT_EQ(root.split, 2.0f);
    // Each half holds two spheres, in reverse input order of the root's reversed list.
    const KdTreeNode& lower = b->nodes[1];
    ASSERT_TRUE(isLeafNode(lower));
    ASSERT_FALSE(isEmptyLeaf(lower));
    const PrimitiveList& lowerLeaf = b->leaves[leafIndex(lower)];
    ASSERT_EQ(lowerLeaf.count, 2u);
    EXPECT_EQ(lowerLeaf.items[0].object, &spheres[0]);
    EXPECT_EQ(lowerLeaf.items[1].object, &spheres[3]);

    // Extents (3, 2, 1): the first split is on x.
    std::vector<Sphere> wide = {
        {{0, 0, 0}, 0.5f, {}}, {{2, 1, 0}, 0.5f, {}}, {{0, 1, 0}, 0.5f, {}}, {{2, 0, 0}, 0.5f, {}}};
    const Tree w = buildTree(refsOf(wide));
    EXPECT_EQ(w->nodes[0].code, 8u);
    EXPECT_EQ(w->nodes[0].split, 1.0f);
}

TEST(BuildKdTree, CoincidentSpheresStopSplitting) {
    // Same spot: the halving box gets thin long before the depth budget.
    std::vector<Sphere> same(8, Sphere{{1, 2, 3}, 0.5f, {}});
    const Tree b = buildTree(refsOf(same));
    const int depth = depthOf(*b, 0);
    EXPECT_GT(depth, 0);
    EXPECT_LE(depth, maxDepth);

    // A box that is a single point cannot be split: one leaf with everything.
    for (float radius : {0.0f, 1e-9f}) {
        std::vector<Sphere> point(50, Sphere{{1, 2, 3}, radius, {}});
        const Tree p = buildTree(refsOf(point));
        EXPECT_EQ(p->nodes[0].code, 4u) << "radius " << radius;
        EXPECT_EQ(p->leaves[0].count, 50u);
    }
}

TEST(SplitMidpoint, DepthBudgetEndsTheSplitting) {
    BuildContext build;
    std::vector<Sphere> same(6, Sphere{{0, 0, 0}, 1, {}});
    CKdNode root(build);
    for (Sphere& s : same)
        root.primitives.push_front({&s, PrimitiveType::Sphere});
    computeBounds(root);
    splitMidpoint(root, root, 2);
    KdTree* tree = nullptr;
    compileKdTree(root, &tree);
    EXPECT_EQ(depthOf(*tree, 0), 2);
    // Every cell touches the one sphere position, so each of the 4 leaves holds all.
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(tree->leaves[i].count, 6u);
    releaseKdTree(tree);
}

TEST(BuildKdTree, DropsEntriesThatCannotBeHitFromALeaf) {
    std::vector<Sphere> spheres = {{{0, 0, 0}, 1, {}}, {{5, 0, 0}, 1, {}}};
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Sphere> bad = {{{nan, 0, 0}, 1, {}},
                               {{0, inf, 0}, 1, {}},
                               {{0, 0, 0}, inf, {}},
                               {{0, 0, 0}, nan, {}},
                               {{3e38f, 0, 0}, 3e38f, {}}};
    Triangle badTri{{0, 0, 0}, {1, nan, 0}, {0, 1, 0}, {}};
    KdTree* nested = nullptr;
    std::vector<PrimitiveRef> refs = refsOf(spheres);
    refs.push_back({&nested, PrimitiveType::NestedTree});
    refs.push_back({&spheres[0], static_cast<PrimitiveType>(9)});
    refs.push_back({&badTri, PrimitiveType::Triangle});
    for (Sphere& s : bad)
        refs.push_back({&s, PrimitiveType::Sphere});
    const Tree b = buildTree(refs);
    // Kept, the extra entries would have forced a split of the root.
    EXPECT_EQ(b->nodes[0].code, 4u);
    ASSERT_EQ(b->leaves[0].count, 2u);
    EXPECT_EQ(b->leaves[0].items[0].object, &spheres[1]);
    EXPECT_EQ(b->leaves[0].items[1].object, &spheres[0]);
    EXPECT_EQ(b->boundsMin[0], -1.0f);
    EXPECT_EQ(b->boundsMax[0], 6.0f);
}

TEST(BuildKdTree, UnknownMethodStoresNull) {
    std::vector<Sphere> spheres = {{{0, 0, 0}, 1, {}}};
    for (int32_t method : {-1, 3, 1000}) {
        KdTree* tree = reinterpret_cast<KdTree*>(&spheres[0]);
        const PrimitiveList list{nullptr, 0};
        buildKdTree(&tree, &list, method);
        EXPECT_EQ(tree, nullptr) << "method " << method;
    }
    // The cost-driven methods are dispatched and give a usable tree.
    for (int32_t method : {1, 2}) {
        const Tree b = buildTree(refsOf(spheres), method);
        ASSERT_NE(b, nullptr);
        EXPECT_NE(b->nodes, nullptr);
    }
}
