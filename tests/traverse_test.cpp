#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/traverse.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

Material tag(float id) {
    return {id, 0, 0, 0};
}

// Root split on x at 2 with two leaves.
struct TwoLeaves {
    HandTree hand{{-10, -10, -10}, {10, 10, 10}};
    KdTree* tree;
    TwoLeaves(std::vector<PrimitiveRef> lower, std::vector<PrimitiveRef> upper) {
        hand.inner(0, 2.0f, 1);
        hand.leaf(std::move(lower));
        hand.leaf(std::move(upper));
        tree = &hand.finish();
    }
};

} // namespace

TEST(IntersectKdTree, MissesAreCountedAndGrazingRaysRefused) {
    const float a = 0.57735026f;
    const Ray grazing{{-1, 0, -0.5f}, {a, a, a}}; // touches only the edge x = 0, y = 1
    // Ahead of the grazing ray, within what a walk would accept.
    Sphere onGrazing{{-1 + a, a, -0.5f + a}, 0.25f, tag(1)};
    Sphere centre{{0.5f, 0.5f, 0.5f}, 0.25f, tag(2)};
    HandTree hand({0, 0, 0}, {1, 1, 1});
    hand.leaf({ref(onGrazing), ref(centre)});
    KdTree& tree = hand.finish();

    EXPECT_EQ(intersectKdTree(tree, {{2, 2, 2}, {a, a, a}}), 0); // points away
    EXPECT_EQ(tree.rayCount, 1u);
    EXPECT_EQ(intersectKdTree(tree, grazing), 0);
    EXPECT_EQ(tree.rayCount, 2u);
    ASSERT_NE(intersectKdTree(tree, {{-1, -1, -1}, {a, a, a}}), 0); // through the middle
    EXPECT_EQ(hitRecord.material.red, 2.0f);
    EXPECT_EQ(tree.rayCount, 3u);

    // A tree built from nothing has an inverted box that every ray misses.
    KdTree* empty = nullptr;
    const PrimitiveList none{nullptr, 0};
    buildKdTree(&empty, &none, 0);
    for (float sign : {1.0f, -1.0f})
        EXPECT_EQ(intersectKdTree(*empty, {{0, 0, 0}, {sign * a, a, -sign * a}}), 0);
    EXPECT_EQ(empty->rayCount, 2u);
    releaseKdTree(empty);
}

TEST(IntersectKdTree, BoxBehindTheOriginAcceptsNothing) {
    // The leaf's sphere lies ahead, but the box is behind: stretch (-9, -4).
    Sphere ahead{{0, 0, 10}, 1, tag(1)};
    HandTree hand({-1, -1, -10}, {1, 1, -5});
    hand.leaf({ref(ahead)});
    KdTree& tree = hand.finish();
    EXPECT_EQ(intersectKdTree(tree, {{0, 0, 0}, {0.001f, 0.001f, 1}}), 0);
    EXPECT_EQ(tree.rayCount, 1u);
}

TEST(IntersectKdTree, OriginInsideTheBoxStartsAtTheMinimumDistance) {
    // The plane lies 0.0005 ahead of the origin. Starting at 0.001 the walk
    // goes to the (empty) far cell only and tests no list at all; started at
    // the box entry behind the origin it would test the lower leaf first.
    Sphere lowerOnly{{0, 0, 20}, 1, tag(1)};
    Sphere ahead{{0, 0, 5}, 1, tag(2)};
    HandTree hand({-10, -10, -10}, {10, 10, 30});
    hand.inner(2, 0.0005f, 1);
    hand.leaf({ref(lowerOnly)});
    hand.leaf({});
    KdTree& tree = hand.finish();
    const Ray ray{{0, 0, 0}, {0.001f, 0.001f, 1}};
    hitRecord.distance = 123;
    EXPECT_EQ(intersectKdTree(tree, ray), 0);
    EXPECT_EQ(hitRecord.distance, 123.0f);
    // With something in the far cell, the hit ahead is found from inside.
    hand.lists[1].push_back(ref(ahead));
    hand.nodes[2] = leafNode(1, false);
    KdTree& filled = hand.finish();
    ASSERT_NE(intersectKdTree(filled, ray), 0);
    EXPECT_EQ(hitRecord.material.red, 2.0f);
}

TEST(TraverseKdTree, PlaneAtEntryOrExitTakesOneChild) {
    Sphere none{{0, 9, 9}, 0.1f, tag(9)};
    for (float dir : {1.0f, -1.0f}) {
        // Going down the axis the near child is the upper one.
        const float o = dir > 0 ? 0.0f : 4.0f;
        Sphere farSphere{{o + dir * 3, 0.5f, 0.5f}, 1, tag(2)};          // hit at exactly 2
        Sphere nearSphere{{o + dir * 1.25f, 0.5f, 0.5f}, 0.25f, tag(1)}; // hit at 1
        const Ray ray{{o, 0.5f, 0.5f}, {dir, 0, 0}};
        std::vector<PrimitiveRef> nearList{ref(nearSphere)};
        std::vector<PrimitiveRef> farList{ref(farSphere)};
        std::vector<PrimitiveRef> missList{ref(none)};

        // Stretch starting on the plane: the far child only, although the
        // near list holds a hit within the stretch it would be given.
        TwoLeaves t(dir > 0 ? nearList : farList, dir > 0 ? farList : nearList);
        ASSERT_NE(traverseKdTree(*t.tree, ray, &t.tree->nodes[0], 2, 10), 0) << dir;
        EXPECT_EQ(hitRecord.material.red, 2.0f) << dir;
        ASSERT_NE(traverseKdTreeRecursive(*t.tree, ray, &t.tree->nodes[0], 2, 10), 0) << dir;
        EXPECT_EQ(hitRecord.material.red, 2.0f) << dir;
        EXPECT_EQ(t.tree->nodeVisitCount, 2u);

        // Stretch ending on the plane: the near child only, so the far hit
        // at exactly the exit distance is never reached.
        TwoLeaves m(dir > 0 ? missList : farList, dir > 0 ? farList : missList);
        EXPECT_EQ(traverseKdTree(*m.tree, ray, &m.tree->nodes[0], 0.5f, 2), 0) << dir;
        EXPECT_EQ(traverseKdTreeRecursive(*m.tree, ray, &m.tree->nodes[0], 0.5f, 2), 0) << dir;
        EXPECT_EQ(m.tree->nodeVisitCount, 2u);
        // Slightly further, both cells are walked and the far hit is accepted.
        ASSERT_NE(traverseKdTree(*m.tree, ray, &m.tree->nodes[0], 0.5f, 2.5f), 0) << dir;
        EXPECT_EQ(hitRecord.material.red, 2.0f) << dir;
    }
}

TEST(TraverseKdTree, StraddlingSphereIsAcceptedOnlyInTheCellOfItsHit) {
    // Plane x = 0. The straddler spans x in [-0.2, 1.8] and the ray meets it
    // at x ~ 0.49, in the upper cell, which also holds a nearer small sphere.
    Sphere straddler{{0.8f, 0, 0}, 1, tag(1)};
    Sphere nearer{{0.4f, 0.95f, 0}, 0.2f, tag(2)};
    HandTree hand({-10, -10, -10}, {10, 10, 10});
    hand.inner(0, 0.0f, 1);
    hand.leaf({ref(straddler)});
    hand.leaf({ref(straddler), ref(nearer)});
    KdTree& tree = hand.finish();
    const Ray ray{{-5, 0.95f, 0}, {1, 0, 0}};
    ASSERT_NE(traverseKdTree(tree, ray, &tree.nodes[0], 0.001f, 15), 0);
    EXPECT_EQ(hitRecord.material.red, 2.0f);
    EXPECT_FLOAT_EQ(hitRecord.distance, 5.2f);
    ASSERT_NE(traverseKdTreeRecursive(tree, ray, &tree.nodes[0], 0.001f, 15), 0);
    EXPECT_EQ(hitRecord.material.red, 2.0f);

    // Alone, the straddler is accepted by the second leaf.
    hand.lists[1].pop_back();
    KdTree& alone = hand.finish();
    const float expected = 5.8f - std::sqrt(1.0f - 0.95f * 0.95f);
    ASSERT_NE(traverseKdTree(alone, ray, &alone.nodes[0], 0.001f, 15), 0);
    EXPECT_EQ(hitRecord.material.red, 1.0f);
    EXPECT_NEAR(hitRecord.distance, expected, 1e-5f);
    ASSERT_NE(traverseKdTreeRecursive(alone, ray, &alone.nodes[0], 0.001f, 15), 0);
    EXPECT_NEAR(hitRecord.distance, expected, 1e-5f);
}

TEST(TraverseKdTree, TooDeepATreeEndsTheWalkInsteadOfOverflowing) {
    // A chain along x in which every plane cuts the stretch, so every level
    // defers its far child (an empty leaf). The deepest lower leaf holds a
    // sphere hit at distance 0.25.
    Sphere target{{0.5f, 0, 0}, 0.25f, tag(3)};
    const Ray ray{{0, 0, 0}, {1, 0, 0}};
    for (int depth : {traversalStackSize, traversalStackSize + 1, 3 * traversalStackSize}) {
        HandTree hand({-1, -1, -1}, {1000, 1, 1});
        hand.lists.push_back({ref(target)});
        // Level L sits at 0 or 2L - 1; its children at 2L + 1 and 2L + 2.
        for (int level = 0; level < depth; ++level) {
            const uint32_t lowerChild = 2u * static_cast<uint32_t>(level) + 1u;
            hand.nodes.push_back(innerNode(0, 1000.0f - 2.0f * level, lowerChild));
            if (level > 0)
                hand.nodes.push_back(leafNode(0, true)); // previous level's upper child
        }
        hand.nodes.push_back(leafNode(0, false)); // leaf 0: the target
        hand.nodes.push_back(leafNode(0, true));
        KdTree& tree = hand.finish();
        ASSERT_EQ(hand.nodes.size(), 2u * depth + 1u);
        const int fits = depth <= traversalStackSize;
        EXPECT_EQ(traverseKdTree(tree, ray, &tree.nodes[0], 0.001f, 2000) != 0, fits) << depth;
        // The recursive walk needs no stack of its own.
        EXPECT_NE(traverseKdTreeRecursive(tree, ray, &tree.nodes[0], 0.001f, 2000), 0) << depth;
        EXPECT_EQ(hitRecord.material.red, 3.0f);
    }
    // The working storage is still sound for an ordinary walk.
    HandTree small({-1, -1, -1}, {1, 1, 1});
    small.leaf({ref(target)});
    KdTree& tree = small.finish();
    EXPECT_NE(intersectKdTree(tree, {{-0.5f, 0.001f, 0.001f}, {1, 0.001f, 0.001f}}), 0);
}

// A hit exactly at the end of a leaf's stretch belongs to that leaf: the
// walks must not move on to the cell beyond (empty here) and lose it.
TEST(TraverseKdTree, AcceptsAHitExactlyAtTheLeafsExit) {
    // The split plane x = 5 carries the triangle too; with edges of 16 every
    // step of the triangle test is exact, so the hit lies at exactly 5.
    Triangle wall{{5, -8, -8}, {5, 8, -8}, {5, -8, 8}, tag(3)};
    HandTree hand({1, -8, -8}, {9, 8, 8});
    hand.inner(0, 5.0f, 1);
    hand.leaf({{&wall, PrimitiveType::Triangle}});
    hand.leaf({});
    KdTree& tree = hand.finish();
    const Ray ray{{0, -2, -2}, {1, 0.001f, 0.001f}};

    EXPECT_NE(intersectKdTree(tree, ray), 0);
    EXPECT_EQ(hitRecord.distance, 5.0f);
    EXPECT_EQ(hitRecord.material.red, 3.0f);

    hitRecord.material = tag(0);
    EXPECT_NE(traverseKdTreeRecursive(tree, ray, &tree.nodes[0], 1.0f, 9.0f), 0);
    EXPECT_EQ(hitRecord.distance, 5.0f);
    EXPECT_EQ(hitRecord.material.red, 3.0f);
}
