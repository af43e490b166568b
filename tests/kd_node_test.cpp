#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/kd_node.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

Sphere sphere(float x, float y, float z, float r) {
    return {{x, y, z}, r, {}};
}

std::vector<void*> objects(const CKdNode& node) {
    std::vector<void*> out;
    for (const PrimitiveRef& r : node.primitives)
        out.push_back(r.object);
    return out;
}

// Counts live instances so destruction order and completeness can be observed.
struct CountedNode : CKdNode {
    static int live;
    static std::vector<int>* order;
    static std::vector<size_t>* parentEntries; // the parent's list size as each node goes
    int id;
    const CKdNode* parent;
    CountedNode(int nodeId, const CKdNode* parentNode) : id(nodeId), parent(parentNode) { ++live; }
    ~CountedNode() override {
        --live;
        if (order)
            order->push_back(id);
        if (parentEntries && parent)
            parentEntries->push_back(parent->primitives.size());
    }
};
int CountedNode::live = 0;
std::vector<size_t>* CountedNode::parentEntries = nullptr;
std::vector<int>* CountedNode::order = nullptr;

} // namespace

TEST(ComputeBounds, EmptyAndUnknownEntriesLeaveTheInvertedBox) {
    CKdNode node;
    computeBounds(node);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(node.boundsMin[k], 3.40282347e38f);
        EXPECT_EQ(node.boundsMax[k], -3.40282347e38f);
    }
    Sphere s = sphere(5, 5, 5, 1);
    node.primitives.push_front({&s, PrimitiveType::NestedTree});
    node.primitives.push_front({&s, static_cast<PrimitiveType>(7)});
    computeBounds(node);
    EXPECT_EQ(node.boundsMin[0], 3.40282347e38f);
    EXPECT_EQ(node.boundsMax[2], -3.40282347e38f);
}

TEST(ComputeBounds, SpheresAndTrianglesTogether) {
    CKdNode node;
    Sphere s = sphere(0, 0, 0, 1);
    Triangle t{{2, -3, 0.5f}, {-4, 0, 0}, {0, 7, -0.25f}, {}};
    node.primitives.push_front(ref(s));
    computeBounds(node);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(node.boundsMin[k], -1.0f);
        EXPECT_EQ(node.boundsMax[k], 1.0f);
    }
    node.primitives.push_front(ref(t));
    computeBounds(node);
    EXPECT_EQ(node.boundsMin[0], -4.0f);
    EXPECT_EQ(node.boundsMin[1], -3.0f);
    EXPECT_EQ(node.boundsMin[2], -1.0f);
    EXPECT_EQ(node.boundsMax[0], 2.0f);
    EXPECT_EQ(node.boundsMax[1], 7.0f);
    EXPECT_EQ(node.boundsMax[2], 1.0f);
}

TEST(SphereTouchesBox, DistanceAgainstRadius) {
    const float lo[3] = {0, 0, 0};
    const float hi[3] = {1, 1, 1};
    EXPECT_TRUE(sphereTouchesBox(sphere(0.5f, 0.5f, 0.5f, 0.01f), lo, hi)); // centre inside
    EXPECT_TRUE(sphereTouchesBox(sphere(0.5f, 0.5f, 0.5f, 0.0f), lo, hi));
    EXPECT_TRUE(sphereTouchesBox(sphere(3, 0.5f, 0.5f, 2), lo, hi)); // face at radius
    EXPECT_FALSE(sphereTouchesBox(sphere(3, 0.5f, 0.5f, 1.99f), lo, hi));
    EXPECT_TRUE(sphereTouchesBox(sphere(-3, 0.5f, 0.5f, 3), lo, hi)); // lower face too
    // Corner: distance 5 from (1, 1, 1) to (4, 5, 1).
    EXPECT_TRUE(sphereTouchesBox(sphere(4, 5, 1, 5), lo, hi));
    EXPECT_FALSE(sphereTouchesBox(sphere(4, 5, 1, 4.99f), lo, hi));
    EXPECT_FALSE(sphereTouchesBox(sphere(-3, -4, 0.5f, 4.99f), lo, hi));
}

TEST(TriangleTouchesBox, RejectsOnlyWhenSeparatedByAFace) {
    const float lo[3] = {0, 0, 0};
    const float hi[3] = {1, 1, 1};
    // All below on z, and all above on y.
    EXPECT_FALSE(triangleTouchesBox({{0, 0, -1}, {1, 1, -2}, {0.5f, 0, -0.1f}, {}}, lo, hi));
    EXPECT_FALSE(triangleTouchesBox({{0, 2, 0}, {1, 1.5f, 1}, {0.5f, 1.01f, 0}, {}}, lo, hi));
    // Touching a face counts, as does a triangle crossing the box with no vertex inside.
    EXPECT_TRUE(triangleTouchesBox({{0, 0, -1}, {1, 1, 0}, {0.5f, 0, -0.1f}, {}}, lo, hi));
    EXPECT_TRUE(triangleTouchesBox({{1, 0.5f, 0.5f}, {2, 0, 0}, {2, 1, 1}, {}}, lo, hi));
    EXPECT_TRUE(triangleTouchesBox({{-5, -5, 0.5f}, {5, -5, 0.5f}, {0, 10, 0.5f}, {}}, lo, hi));
}

TEST(CreateChildren, SplitsBoxAndDistributesInReverseOrder) {
    CKdNode node;
    setBox(node, 0, 0, 0, 4, 2, 2);
    node.axis = 0;
    node.split = 2;
    Sphere a = sphere(0.5f, 1, 1, 0.25f);               // lower only
    Sphere b = sphere(2.0f, 1, 1, 0.25f);               // crosses the plane
    Sphere c = sphere(3.5f, 1, 1, 0.25f);               // upper only
    Sphere d = sphere(1.5f, 1, 1, 0.5f);                // touches the plane at exactly its radius
    Triangle t{{0.5f, 0, 0}, {1, 0, 0}, {1, 1, 0}, {}}; // lower only
    Sphere n = sphere(1, 1, 1, 5);
    // Front to back: a, b, c, d, t, then two entries that reach no child.
    node.primitives.push_front({&n, static_cast<PrimitiveType>(0)});
    node.primitives.push_front({&n, PrimitiveType::NestedTree});
    node.primitives.push_front(ref(t));
    node.primitives.push_front(ref(d));
    node.primitives.push_front(ref(c));
    node.primitives.push_front(ref(b));
    node.primitives.push_front(ref(a));

    createChildren(node);
    ASSERT_NE(node.left, nullptr);
    ASSERT_NE(node.right, nullptr);
    EXPECT_EQ(node.left->boundsMin[0], 0.0f);
    EXPECT_EQ(node.left->boundsMax[0], 2.0f);
    EXPECT_EQ(node.right->boundsMin[0], 2.0f);
    EXPECT_EQ(node.right->boundsMax[0], 4.0f);
    for (int k = 1; k < 3; ++k) {
        EXPECT_EQ(node.left->boundsMax[k], 2.0f);
        EXPECT_EQ(node.right->boundsMin[k], 0.0f);
    }
    EXPECT_EQ(objects(*node.left), (std::vector<void*>{&t, &d, &b, &a}));
    EXPECT_EQ(objects(*node.right), (std::vector<void*>{&d, &c, &b}));
    EXPECT_TRUE(node.left->primitives.front().type == PrimitiveType::Triangle);
    EXPECT_EQ(node.primitives.size(), 7u); // the parent keeps its own list
}

// Each child must receive exactly the spheres that sphereTouchesBox finds
// touching its box, on every axis, including spheres at exactly their radius
// from a face, edge or corner of either child.
TEST(CreateChildren, AgreesWithSphereTouchesBoxOnEveryAxis) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> place(-3.0f, 5.0f);
    std::uniform_real_distribution<float> size(0.0f, 1.5f);
    std::vector<Sphere> spheres;
    for (int i = 0; i < 3000; ++i)
        spheres.push_back(sphere(place(random), place(random), place(random), size(random)));
    // Edges of the boxes at exactly the radius (3-4-5), beside the x plane.
    for (float x : {-3.0f, -1.0f, 5.0f, 7.0f})
        spheres.push_back(sphere(x, -5.0f, 1.5f, 5.0f));

    for (int32_t axis = 0; axis < 3; ++axis) {
        CKdNode node;
        setBox(node, 0, -1, 1, 4, 3, 2);
        node.axis = axis;
        node.split = (node.boundsMin[axis] + node.boundsMax[axis]) * 0.5f;
        for (Sphere& s : spheres)
            node.primitives.push_front(ref(s));
        createChildren(node);

        std::vector<void*> lower;
        std::vector<void*> upper;
        for (const PrimitiveRef& r : node.primitives) {
            const Sphere& s = *static_cast<const Sphere*>(r.object);
            if (sphereTouchesBox(s, node.left->boundsMin, node.left->boundsMax))
                lower.insert(lower.begin(), r.object);
            if (sphereTouchesBox(s, node.right->boundsMin, node.right->boundsMax))
                upper.insert(upper.begin(), r.object);
        }
        EXPECT_EQ(objects(*node.left), lower) << "axis " << axis;
        EXPECT_EQ(objects(*node.right), upper) << "axis " << axis;
        // Both sides and the spheres that reach neither must occur.
        EXPECT_LT(lower.size() + upper.size(), spheres.size() * 2);
        EXPECT_GT(lower.size(), spheres.size() / 20);
        EXPECT_GT(upper.size(), spheres.size() / 20);
    }
}

TEST(CKdNodeDestructor, ReleasesADeepTreeLeftThenRightBeforeTheParentsList) {
    std::vector<int> order;
    std::vector<size_t> parentEntries;
    CountedNode::order = &order;
    CountedNode::parentEntries = &parentEntries;
    Sphere s = sphere(0, 0, 0, 1);
    {
        // A chain 20 levels deep: node 2L - 1 and node 2L are the children of
        // the left node of level L - 1; every inner node holds one entry.
        CountedNode* root = new CountedNode(0, nullptr);
        CKdNode* node = root;
        for (int level = 1; level <= 20; ++level) {
            node->primitives.push_front(ref(s));
            node->left = new CountedNode(2 * level - 1, node);
            node->right = new CountedNode(2 * level, node);
            node = node->left;
        }
        EXPECT_EQ(CountedNode::live, 41);
        delete root;
    }
    EXPECT_EQ(CountedNode::live, 0);
    // Depth first, the lower child before the upper one at every level.
    std::vector<int> expected = {0};
    for (int id = 1; id <= 39; id += 2)
        expected.push_back(id);
    for (int id = 40; id >= 2; id -= 2)
        expected.push_back(id);
    EXPECT_EQ(order, expected);
    // Every child went while its parent still held its entry.
    EXPECT_EQ(parentEntries, std::vector<size_t>(40, 1));
    CountedNode::order = nullptr;
    CountedNode::parentEntries = nullptr;
}
