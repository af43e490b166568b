#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/support/reference_build.h"
#include "tests/test_support.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/kdtree/split/cost_terms.h"
#include "vantrel/kdtree/split/split_cost.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

Sphere sphere(float x, float y, float z, float r) {
    return {{x, y, z}, r, {}};
}

template <class Node> void addAll(Node& node, std::vector<Sphere>& spheres) {
    for (Sphere& s : spheres)
        node.primitives.push_front({&s, PrimitiveType::Sphere});
}

struct Costs {
    float lower;
    float upper;
    float total;
};

// The reference's costs, which every plane the build chooses is held to.
Costs evaluate(const reference::Node& node, int32_t axis, float position, bool emptyRule) {
    Costs c{};
    c.total = reference::evaluateSplit(node, &c.lower, &c.upper, axis, position, node.boundsMin,
                                       node.boundsMax, emptyRule);
    return c;
}

} // namespace

TEST(EvaluateSplit, CountsEachSideAndWeighsItByArea) {
    std::vector<Sphere> spheres{sphere(0.5f, 1, 1, 0.25f), sphere(1.5f, 1, 1, 0.25f)};
    reference::Node node;
    setBox(node, 0, 0, 0, 2, 2, 2);
    addAll(node, spheres);
    for (const bool emptyRule : {false, true}) {
        const Costs c = evaluate(node, 0, 1.0f, emptyRule);
        EXPECT_EQ(c.lower, 163.0f);
        EXPECT_EQ(c.upper, 163.0f);
        EXPECT_EQ(c.total, 326.0f);
    }
    // A sphere that crosses the plane counts on both sides.
    Sphere crossing = sphere(1.0f, 1, 1, 0.25f);
    node.primitives.push_front({&crossing, PrimitiveType::Sphere});
    const Costs c = evaluate(node, 0, 1.0f, false);
    EXPECT_EQ(c.lower, 3.0f + 10.0f * 16.0f * 2.0f);
    EXPECT_EQ(c.upper, 3.0f + 10.0f * 16.0f * 2.0f);
}

TEST(EvaluateSplit, EmptySideRuleZeroesOnlyLargeEmptySides) {
    std::vector<Sphere> spheres{sphere(2, 5, 5, 1), sphere(3, 4, 6, 0.5f)};
    reference::Node node;
    setBox(node, 0, 0, 0, 10, 10, 10);
    addAll(node, spheres);

    // Upper side of area 240 > 0.1 * 600.
    EXPECT_EQ(evaluate(node, 0, 9.0f, true).upper, 0.0f);
    EXPECT_EQ(evaluate(node, 0, 9.0f, false).upper, 3.0f);
    const Costs at9 = evaluate(node, 0, 9.0f, true);
    EXPECT_EQ(at9.lower, 3.0f + 10.0f * 560.0f * 2.0f);
    EXPECT_EQ(at9.total, at9.lower);

    // Area 204 is still more than 60.
    EXPECT_EQ(evaluate(node, 0, 9.9f, true).upper, 0.0f);
    EXPECT_EQ(evaluate(node, 0, 9.9f, false).upper, 3.0f);

    // The rule works on the lower side too.
    EXPECT_EQ(evaluate(node, 0, 6.0f, true).lower, 3.0f + 10.0f * 440.0f * 2.0f);
    std::vector<Sphere> high{sphere(8, 5, 5, 1)};
    reference::Node upperOnly;
    setBox(upperOnly, 0, 0, 0, 10, 10, 10);
    addAll(upperOnly, high);
    EXPECT_EQ(evaluate(upperOnly, 0, 1.0f, true).lower, 0.0f);
    EXPECT_EQ(evaluate(upperOnly, 0, 1.0f, false).lower, 3.0f);

    // In a box of area 42 the upper side at 9.9 has area 2.4, not more than
    // 4.2, and keeps its cost; at 8 it has 8.2.
    reference::Node thin;
    setBox(thin, 0, 0, 0, 10, 1, 1);
    std::vector<Sphere> low{sphere(2, 0.5f, 0.5f, 0.25f)};
    addAll(thin, low);
    EXPECT_EQ(evaluate(thin, 0, 9.9f, true).upper, 3.0f);
    EXPECT_EQ(evaluate(thin, 0, 8.0f, true).upper, 0.0f);

    // Exactly a tenth is not more than a tenth: area 8 of 80 keeps its cost.
    reference::Node tenth;
    setBox(tenth, 0, 0, 0, 19.5f, 1, 1);
    addAll(tenth, low);
    EXPECT_EQ(evaluate(tenth, 0, 18.0f, true).upper, 3.0f);
}

TEST(EvaluateSplit, TrianglesCountByTheirTestAndOtherEntriesNotAtAll) {
    std::vector<Triangle> triangles{
        {{1, 1, 1}, {2, 1, 1}, {1, 2, 1}, {}}, // below x = 5
        {{4, 1, 1}, {6, 1, 1}, {5, 2, 1}, {}}, // crosses it
    };
    reference::Node node;
    setBox(node, 0, 0, 0, 10, 10, 10);
    for (Triangle& t : triangles)
        node.primitives.push_front({&t, PrimitiveType::Triangle});
    node.primitives.push_front({nullptr, PrimitiveType::NestedTree});
    node.primitives.push_front({nullptr, static_cast<PrimitiveType>(9)});
    const Costs c = evaluate(node, 0, 5.0f, false);
    EXPECT_EQ(c.lower, 3.0f + 10.0f * 400.0f * 2.0f);
    EXPECT_EQ(c.upper, 3.0f + 10.0f * 400.0f * 1.0f);
}

TEST(SplitByCost, SpheresEnclosingTheNodeMakeItALeaf) {
    BuildContext build;
    std::vector<Sphere> spheres(5, sphere(5, 5, 5, 100));
    for (const int32_t method : {1, 2}) {
        CKdNode node(build);
        setBox(node, 0, 0, 0, 10, 10, 10);
        addAll(node, spheres);
        splitByCost(node, node, 20, method);
        EXPECT_TRUE(node.isLeaf) << "method " << method;
        EXPECT_EQ(node.left, nullptr);
        EXPECT_EQ(node.right, nullptr);
        EXPECT_EQ(node.primitives.size(), 5u);
    }
}

TEST(SplitByCost, MarginAndEmptyRuleCutAClusterOffInMethod2Only) {
    BuildContext build;
    // Four spheres in one corner of a large box. Method 1 counts a sphere on
    // both sides of a plane that only touches it, so nothing beats the
    // midpoint; method 2 cuts just past the spheres and leaves an empty side.
    std::vector<Sphere> spheres(4, sphere(2, 2, 2, 1));
    reference::Node plain;
    setBox(plain, 0, 0, 0, 10, 10, 10);
    addAll(plain, spheres);
    plain.axis = 0;
    plain.split = 5.0f;
    EXPECT_EQ(reference::searchCostPlane(plain, 1), 16006.0f);
    EXPECT_EQ(plain.axis, 0);
    EXPECT_EQ(plain.split, 5.0f);

    reference::Node margin;
    setBox(margin, 0, 0, 0, 10, 10, 10);
    addAll(margin, spheres);
    margin.axis = 0;
    margin.split = 5.0f;
    const float best = reference::searchCostPlane(margin, 2);
    const float expected = static_cast<float>(3.0 + static_cast<double>(0.001f));
    // y and z offer the same plane at the same cost: the lower axis keeps it.
    EXPECT_EQ(margin.axis, 0);
    EXPECT_EQ(margin.split, expected);
    EXPECT_EQ(evaluate(margin, 1, expected, true).total, best);
    EXPECT_EQ(evaluate(margin, 2, expected, true).total, best);
    EXPECT_LT(best, evaluate(margin, 0, 5.0f, true).total);

    // The whole build agrees, and the upper child holds nothing.
    CKdNode grown(build);
    setBox(grown, 0, 0, 0, 10, 10, 10);
    addAll(grown, spheres);
    splitByCost(grown, grown, 20, 2);
    ASSERT_FALSE(grown.isLeaf);
    EXPECT_EQ(grown.axis, 0);
    EXPECT_EQ(grown.split, expected);
    EXPECT_TRUE(grown.right->isLeaf);
    EXPECT_TRUE(grown.right->primitives.empty());
}

TEST(SplitCandidates, ComeRoundedAndClampedIntoTheNode) {
    // Reaching past the box on both sides: the candidates are its faces.
    for (const int32_t method : {1, 2}) {
        const EntryCandidates x = sphereCandidates(5.0f, 7.0f, method);
        EXPECT_EQ(clampCandidate(x.lower, 0.0f, 10.0f), 0.0f);
        EXPECT_EQ(clampCandidate(x.upper, 0.0f, 10.0f), 10.0f);
        const EntryCandidates y = sphereCandidates(-1.0f, 7.0f, method);
        EXPECT_EQ(clampCandidate(y.lower, 0.0f, 10.0f), 0.0f);
        EXPECT_EQ(clampCandidate(y.upper, 0.0f, 10.0f), 6.0f + (method == 2 ? 0.001f : 0.0f));
    }
    EXPECT_TRUE(std::isnan(clampCandidate(NAN, 0.0f, 10.0f)));

    // Method 2 widens a sphere by the margin, rounding once to float, and
    // marks it for the empty-side rule.
    EntryCandidates c = sphereCandidates(3.3f, 0.7f, 2);
    EXPECT_EQ(c.lower, static_cast<float>(3.3f - 0.7 - static_cast<double>(0.001f)));
    EXPECT_EQ(c.upper, static_cast<float>(3.3f + 0.7 + static_cast<double>(0.001f)));
    EXPECT_TRUE(c.emptyRule);
    c = sphereCandidates(3.3f, 0.7f, 1);
    EXPECT_EQ(c.lower, 3.3f - 0.7f);
    EXPECT_FALSE(c.emptyRule);

    // Triangles: extreme vertices, no margin, never the empty-side rule.
    const Triangle t{{4, 12, 1}, {2, -3, 1}, {3, 5, 1}, {}};
    c = triangleCandidates(t, 0);
    EXPECT_EQ(c.lower, 2.0f);
    EXPECT_EQ(c.upper, 4.0f);
    EXPECT_FALSE(c.emptyRule);
    c = triangleCandidates(t, 1);
    EXPECT_EQ(c.lower, -3.0f);
    EXPECT_EQ(c.upper, 12.0f);
}

namespace {

// Counts inner nodes whose plane lies on a face of their box: one child is
// flat and the other a copy of the node, so the split achieves nothing.
int faceSplits(const CKdNode& node) {
    if (node.isLeaf)
        return 0;
    const bool onFace =
        node.split == node.boundsMin[node.axis] || node.split == node.boundsMax[node.axis];
    return (onFace ? 1 : 0) + faceSplits(*node.left) + faceSplits(*node.right);
}

} // namespace

TEST(SplitByCost, NeverSplitsOnAFaceOfTheNode) {
    BuildContext build;
    // Such a plane costs at least the leaf, with equality in method 2 when its
    // flat side is empty; rounding must not let it win.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coordinate(-5.0f, 5.0f);
    std::uniform_real_distribution<float> radius(0.05f, 3.0f);
    int splits = 0;
    for (int scene = 0; scene < 400; ++scene) {
        std::vector<Sphere> spheres(4 + rng() % 60);
        for (Sphere& s : spheres)
            s = sphere(coordinate(rng), coordinate(rng), coordinate(rng), radius(rng));
        for (const int32_t method : {1, 2}) {
            CKdNode root(build);
            addAll(root, spheres);
            computeBounds(root);
            splitByCost(root, root, 20, method);
            EXPECT_EQ(faceSplits(root), 0) << "scene " << scene << ", method " << method;
            splits += root.isLeaf ? 0 : 1;
        }
    }
    EXPECT_GT(splits, 400);
}
