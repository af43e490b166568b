#include <gtest/gtest.h>

#include <cmath>

#include "vantrel/kdtree/split/split_rules.h"

using namespace vantrel;

namespace {

void setExtents(CKdNode& node, float ex, float ey, float ez) {
    const float e[3] = {ex, ey, ez};
    for (int k = 0; k < 3; ++k) {
        node.boundsMin[k] = -1.0f;
        node.boundsMax[k] = -1.0f + e[k];
    }
}

void fill(CKdNode& node, int entries) {
    static Sphere s{{0, 0, 0}, 1, {}};
    for (int i = 0; i < entries; ++i)
        node.primitives.push_front({&s, PrimitiveType::Sphere});
}

} // namespace

TEST(ChooseSplitAxis, ZIsComparedWithYOnly) {
    BuildContext build;
    CKdNode node(build);
    setExtents(node, 10, 1, 5);
    EXPECT_EQ(chooseSplitAxis(node), 2);
    setExtents(node, 3, 2, 1);
    EXPECT_EQ(chooseSplitAxis(node), 0);
    setExtents(node, 1, 3, 2);
    EXPECT_EQ(chooseSplitAxis(node), 1);
    setExtents(node, 2, 2, 2); // ties keep the lower axis
    EXPECT_EQ(chooseSplitAxis(node), 0);
    setExtents(node, 1, 2, 2);
    EXPECT_EQ(chooseSplitAxis(node), 1);
}

TEST(PassesLeafTest, CountAndDepth) {
    BuildContext build;
    CKdNode root(build);
    setExtents(root, 10, 10, 10);
    CKdNode node(build);
    setExtents(node, 10, 10, 10);
    fill(node, 3);
    EXPECT_TRUE(passesLeafTest(node, root, 20));
    fill(node, 1);
    EXPECT_FALSE(passesLeafTest(node, root, 20));
    EXPECT_FALSE(passesLeafTest(node, root, 1));
    EXPECT_TRUE(passesLeafTest(node, root, 0));
    // Entries of any type count.
    CKdNode mixed(build);
    setExtents(mixed, 10, 10, 10);
    fill(mixed, 3);
    mixed.primitives.push_front({nullptr, PrimitiveType::NestedTree});
    EXPECT_FALSE(passesLeafTest(mixed, root, 20));
}

TEST(PassesLeafTest, ThinnessThresholdOnEachAxis) {
    BuildContext build;
    CKdNode root(build);
    setExtents(root, 100, 200, 50);
    for (int axis = 0; axis < 3; ++axis) {
        const float rootExtent = root.boundsMax[axis] - root.boundsMin[axis];
        const float limit = 0.03f * rootExtent;
        CKdNode node(build);
        setExtents(node, 100, 200, 50);
        fill(node, 10);
        // Lower corner at 0 so the extent is exactly the upper bound.
        node.boundsMin[axis] = 0.0f;
        node.boundsMax[axis] = limit;
        EXPECT_FALSE(passesLeafTest(node, root, 20)) << "axis " << axis;
        node.boundsMax[axis] = std::nextafter(limit, 0.0f);
        EXPECT_TRUE(passesLeafTest(node, root, 20)) << "axis " << axis;
        node.boundsMax[axis] = std::nextafter(limit, 1e9f);
        EXPECT_FALSE(passesLeafTest(node, root, 20)) << "axis " << axis;
    }
}
