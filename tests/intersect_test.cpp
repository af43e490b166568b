#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/tracer/intersect.h"

namespace vantrel {
namespace {

using namespace testing_support;

Ray makeRay(Vector3 origin, Vector3 direction) {
    return {origin, direction};
}

Sphere makeSphere(Vector3 centre, float radius, Material material = {1, 1, 1, 0}) {
    return {centre, radius, material};
}

Triangle makeTriangle(Vector3 v0, Vector3 v1, Vector3 v2, Material material = {1, 1, 1, 0}) {
    return {v0, v1, v2, material};
}

// Marks the record so that a test can tell what a query left untouched.
void poisonRecord() {
    hitRecord.normal = {9, 9, 9};
    hitRecord.material = {7, 7, 7, 7};
    hitRecord.distance = 42;
}

void expectVector(const Vector3& v, float x, float y, float z) {
    EXPECT_FLOAT_EQ(v.x, x);
    EXPECT_FLOAT_EQ(v.y, y);
    EXPECT_FLOAT_EQ(v.z, z);
}

class SphereTest : public ::testing::Test {
  protected:
    Sphere sphere = makeSphere({0, 0, 5}, 1, {0.25f, 0.5f, 0.75f, 3.0f});
    std::vector<PrimitiveRef> refs{ref(sphere)};
    PrimitiveList list = listOf(refs);
};

TEST_F(SphereTest, HitFromOutsideRecordsNearRootNormalAndWholeMaterial) {
    poisonRecord();
    ASSERT_NE(intersectList(list, makeRay({0, 0, 0}, {0, 0, 1})), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 4);
    expectVector(hitRecord.normal, 0, 0, -1);
    EXPECT_EQ(hitRecord.material.red, 0.25f);
    EXPECT_EQ(hitRecord.material.green, 0.5f);
    EXPECT_EQ(hitRecord.material.blue, 0.75f);
    EXPECT_EQ(hitRecord.material.reserved, 3.0f);
}

TEST_F(SphereTest, HitFromInsideTakesFarRootWithNormalFacingOrigin) {
    ASSERT_NE(intersectList(list, makeRay({0, 0, 5}, {0, 0, 1})), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 1);
    expectVector(hitRecord.normal, 0, 0, -1);

    // Off-centre inside: the normal points back towards the origin side.
    ASSERT_NE(intersectList(list, makeRay({0, 0, 5.5f}, {0, 0, -1})), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 1.5f);
    expectVector(hitRecord.normal, 0, 0, 1);
}

TEST_F(SphereTest, Misses) {
    // Behind the origin: both roots negative.
    EXPECT_EQ(intersectList(list, makeRay({0, 0, 0}, {0, 0, -1})), 0);
    // Passing beside it.
    EXPECT_EQ(intersectList(list, makeRay({2, 0, 0}, {0, 0, 1})), 0);
    // Grazing: the discriminant is exactly zero.
    EXPECT_EQ(intersectList(list, makeRay({1, 0, 0}, {0, 0, 1})), 0);
    EXPECT_EQ(hitRecord.distance, noHitDistance);
}

TEST_F(SphereTest, StartOnSurfaceOrWithinMinimumDistanceIsRefused) {
    // Near root 0 while the far root 2 lies ahead: still no hit.
    EXPECT_EQ(intersectList(list, makeRay({0, 0, 4}, {0, 0, 1})), 0);
    // Near root 0.0005.
    EXPECT_EQ(intersectList(list, makeRay({0, 0, 3.9995f}, {0, 0, 1})), 0);
    // Leaving from the surface outward: far root 0, the sphere is behind.
    EXPECT_EQ(intersectList(list, makeRay({0, 0, 6}, {0, 0, 1})), 0);
}

TEST(SphereBound, CandidateOfExactlyMinimumDistanceIsRefusedJustAboveAccepted) {
    // A tiny sphere whose near root comes out as exactly 0.001f: every step of
    // the sphere test is exact for these powers of two.
    const float radius = 0.000244140625f; // 2^-12
    const float centre = 0.001f + radius;
    ASSERT_EQ(centre - radius, 0.001f) << "test geometry must give exactly 0.001";
    Sphere exact = makeSphere({0, 0, centre}, radius);
    std::vector<PrimitiveRef> refs{ref(exact)};
    const Ray ray = makeRay({0, 0, 0}, {0, 0, 1});
    EXPECT_EQ(intersectList(listOf(refs), ray), 0);

    Sphere above = makeSphere({0, 0, 0.002f + radius}, radius);
    refs[0] = ref(above);
    ASSERT_NE(intersectList(listOf(refs), ray), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 0.002f);
}

TEST(SphereNormal, IsUnitLengthForOffAxisHitsAndLargeRadius) {
    Sphere big = makeSphere({3, -2, 40}, 7.5f);
    std::vector<PrimitiveRef> refs{ref(big)};
    const float len = std::sqrt(3.0f * 3.0f + 4.0f * 4.0f + 60.0f * 60.0f);
    const Ray ray =
        makeRay({1, 2, 0}, {3 / len, -4 / len, 60 / len}); // straight at a point near the centre
    ASSERT_NE(intersectList(listOf(refs), ray), 0);
    const Vector3& n = hitRecord.normal;
    EXPECT_NEAR(n.x * n.x + n.y * n.y + n.z * n.z, 1.0f, 1e-6f);
    EXPECT_LT(n.z, 0); // faces the origin
}

class TriangleTest : public ::testing::Test {
  protected:
    const Vector3 V0{0, 0, 5};
    const Vector3 V1{1, 0, 5};
    const Vector3 V2{0, 1, 5};
    float t = -1;
    float weight1 = -1;
    float weight2 = -1;
    Vector3 normal{};

    bool hits(Vector3 origin, Vector3 direction) {
        return intersectTriangle(makeRay(origin, direction), V0, V1, V2, t, weight1, weight2,
                                 normal);
    }
};

TEST_F(TriangleTest, BothFacesGiveSameDistanceWeightsAndNormal) {
    ASSERT_TRUE(hits({0.25f, 0.25f, 0}, {0, 0, 1}));
    EXPECT_FLOAT_EQ(t, 5);
    EXPECT_FLOAT_EQ(weight1, 0.25f);
    EXPECT_FLOAT_EQ(weight2, 0.25f);
    expectVector(normal, 0, 0, 1);

    ASSERT_TRUE(hits({0.25f, 0.25f, 10}, {0, 0, -1}));
    EXPECT_FLOAT_EQ(t, 5);
    EXPECT_FLOAT_EQ(weight1, 0.25f);
    EXPECT_FLOAT_EQ(weight2, 0.25f);
    expectVector(normal, 0, 0, 1);
}

TEST_F(TriangleTest, WeightsBelongToV1AndV2) {
    ASSERT_TRUE(hits({0.5f, 0.25f, 0}, {0, 0, 1}));
    EXPECT_FLOAT_EQ(weight1, 0.5f);  // along V1 - V0, the x axis
    EXPECT_FLOAT_EQ(weight2, 0.25f); // along V2 - V0, the y axis
}

TEST_F(TriangleTest, CornersAndEdgesCountAsInside) {
    const Vector3 along{0, 0, 1};
    EXPECT_TRUE(hits({0, 0, 0}, along)) << "corner V0";
    EXPECT_TRUE(hits({1, 0, 0}, along)) << "corner V1";
    EXPECT_TRUE(hits({0, 1, 0}, along)) << "corner V2";
    EXPECT_TRUE(hits({0.5f, 0, 0}, along)) << "edge V0-V1";
    EXPECT_TRUE(hits({0, 0.5f, 0}, along)) << "edge V0-V2";
    ASSERT_TRUE(hits({0.5f, 0.5f, 0}, along)) << "edge V1-V2";
    EXPECT_FLOAT_EQ(weight1 + weight2, 1.0f);

    EXPECT_FALSE(hits({0.6f, 0.5f, 0}, along));
    EXPECT_FALSE(hits({-0.01f, 0.5f, 0}, along));
    EXPECT_FALSE(hits({0.5f, -0.01f, 0}, along));
}

TEST_F(TriangleTest, ParallelAndBehindMiss) {
    EXPECT_FALSE(hits({0.25f, 0.25f, 5}, {1, 0, 0}));
    EXPECT_FALSE(hits({0.25f, 0.25f, 6}, {0, 0, 1}));
    // The normal is written even on a miss.
    normal = {};
    EXPECT_FALSE(hits({0.25f, 0.25f, 5}, {1, 0, 0}));
    expectVector(normal, 0, 0, 1);
}

TEST_F(TriangleTest, DistanceOfExactlyMinimumCounts) {
    const Ray ray = makeRay({0.25f, 0.25f, 0}, {0, 0, 1});
    ASSERT_TRUE(intersectTriangle(ray, {0, 0, 0.001f}, {1, 0, 0.001f}, {0, 1, 0.001f}, t, weight1,
                                  weight2, normal));
    EXPECT_EQ(t, 0.001f);
    EXPECT_FALSE(intersectTriangle(ray, {0, 0, 0.0009f}, {1, 0, 0.0009f}, {0, 1, 0.0009f}, t,
                                   weight1, weight2, normal));
}

TEST(TriangleSize, TinyTriangleIsNeverHitByUnitDirection) {
    // |e1 x e2| = 0.0009, below the parallel bound.
    float t;
    float w1;
    float w2;
    Vector3 n;
    EXPECT_FALSE(intersectTriangle(makeRay({0.01f, 0.01f, 0}, {0, 0, 1}), {0, 0, 5}, {0.03f, 0, 5},
                                   {0, 0.03f, 5}, t, w1, w2, n));
    EXPECT_TRUE(intersectTriangle(makeRay({0.01f, 0.01f, 0}, {0, 0, 1}), {0, 0, 5}, {0.04f, 0, 5},
                                  {0, 0.04f, 5}, t, w1, w2, n));
}

TEST(ListTriangle, RecordsUnitNormalAndVertexOrderSetsItsDirection) {
    Triangle tri = makeTriangle({0, 0, 5}, {4, 0, 5}, {0, 4, 5}, {0.1f, 0.2f, 0.3f, 0.4f});
    std::vector<PrimitiveRef> refs{ref(tri)};
    const Ray ray = makeRay({0.5f, 0.5f, 0}, {0, 0, 1});
    ASSERT_NE(intersectList(listOf(refs), ray), 0);
    expectVector(hitRecord.normal, 0, 0, 1);
    EXPECT_FLOAT_EQ(hitRecord.distance, 5);
    EXPECT_EQ(hitRecord.material.reserved, 0.4f);

    std::swap(tri.V1, tri.V2);
    ASSERT_NE(intersectList(listOf(refs), ray), 0);
    expectVector(hitRecord.normal, 0, 0, -1);
}

TEST(ListQuery, NearestWinsWhateverTheOrder) {
    Sphere far = makeSphere({0, 0, 20}, 1, {1, 0, 0, 0});
    Triangle mid = makeTriangle({-5, -5, 10}, {10, -5, 10}, {-5, 10, 10}, {0, 1, 0, 0});
    Sphere near = makeSphere({0, 0, 5}, 1, {0, 0, 1, 0});
    const Ray ray = makeRay({0, 0, 0}, {0, 0, 1});

    std::vector<PrimitiveRef> forward{ref(far), ref(mid), ref(near)};
    ASSERT_NE(intersectList(listOf(forward), ray), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 4);
    EXPECT_EQ(hitRecord.material.blue, 1);

    std::vector<PrimitiveRef> backward{ref(near), ref(mid), ref(far)};
    ASSERT_NE(intersectList(listOf(backward), ray), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 4);
    EXPECT_EQ(hitRecord.material.blue, 1);

    // Without the near sphere the triangle is nearest, even listed last.
    std::vector<PrimitiveRef> rest{ref(far), ref(mid)};
    ASSERT_NE(intersectList(listOf(rest), ray), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 10);
    EXPECT_EQ(hitRecord.material.green, 1);
}

TEST(ListQuery, TiesKeepTheFirstEntry) {
    Sphere a = makeSphere({0, 0, 5}, 1, {1, 0, 0, 0});
    Sphere b = makeSphere({0, 0, 5}, 1, {0, 1, 0, 0});
    Triangle c = makeTriangle({-1, -1, 4}, {3, -1, 4}, {-1, 3, 4}, {0, 0, 1, 0});
    Triangle d = makeTriangle({-1, -1, 4}, {-1, 3, 4}, {3, -1, 4}, {1, 1, 0, 0});
    const Ray ray = makeRay({0, 0, 0}, {0, 0, 1});

    std::vector<PrimitiveRef> spheres{ref(a), ref(b)};
    ASSERT_NE(intersectList(listOf(spheres), ray), 0);
    EXPECT_EQ(hitRecord.material.red, 1);

    // Same plane, opposite windings: the first one's normal stays.
    std::vector<PrimitiveRef> triangles{ref(d), ref(c)};
    ASSERT_NE(intersectList(listOf(triangles), ray), 0);
    EXPECT_EQ(hitRecord.material.red, 1);
    EXPECT_EQ(hitRecord.material.green, 1);
    expectVector(hitRecord.normal, 0, 0, -1);
}

TEST(ListQuery, EmptyListAndMissKeepNormalAndMaterialButResetDistance) {
    PrimitiveList empty{nullptr, 0};
    poisonRecord();
    EXPECT_EQ(intersectList(empty, makeRay({0, 0, 0}, {0, 0, 1})), 0);
    EXPECT_EQ(hitRecord.distance, noHitDistance);
    expectVector(hitRecord.normal, 9, 9, 9);
    EXPECT_EQ(hitRecord.material.reserved, 7);

    // A hit followed by a query that finds nothing.
    Sphere s = makeSphere({0, 0, 5}, 1, {0.5f, 0.25f, 0.125f, 2});
    std::vector<PrimitiveRef> refs{ref(s)};
    ASSERT_NE(intersectList(listOf(refs), makeRay({0, 0, 0}, {0, 0, 1})), 0);
    EXPECT_EQ(intersectList(listOf(refs), makeRay({0, 0, 0}, {0, 1, 0})), 0);
    EXPECT_EQ(hitRecord.distance, noHitDistance);
    expectVector(hitRecord.normal, 0, 0, -1);
    EXPECT_EQ(hitRecord.material.red, 0.5f);
    EXPECT_EQ(hitRecord.material.reserved, 2);
}

TEST(ListQuery, UnknownTypeCodesAreSkipped) {
    // The skipped entries point at something that would be hit if misread.
    Sphere bait = makeSphere({0, 0, 3}, 1, {1, 0, 0, 0});
    Sphere real = makeSphere({0, 0, 8}, 1, {0, 1, 0, 0});
    std::vector<PrimitiveRef> refs{{&bait, static_cast<PrimitiveType>(0)},
                                   {&bait, static_cast<PrimitiveType>(4)},
                                   {&bait, static_cast<PrimitiveType>(-1)},
                                   ref(real)};
    ASSERT_NE(intersectList(listOf(refs), makeRay({0, 0, 0}, {0, 0, 1})), 0);
    EXPECT_FLOAT_EQ(hitRecord.distance, 7);
    EXPECT_EQ(hitRecord.material.green, 1);

    std::vector<PrimitiveRef> onlyUnknown{{&bait, static_cast<PrimitiveType>(7)}};
    EXPECT_EQ(intersectList(listOf(onlyUnknown), makeRay({0, 0, 0}, {0, 0, 1})), 0);
}

// A tree that no ray from the origin region reaches: box far to the side,
// root an empty leaf.
struct MissingTree {
    KdTreeNode root = leafNode(0, true);
    KdTree tree{{1000, 1000, 1000}, {1001, 1001, 1001}, &root, nullptr, 0, 0, 0};
};

TEST(ListQuery, TreeEntryIsWalkedAndAMissedTreeKeepsEarlierHits) {
    MissingTree missing;
    Sphere before = makeSphere({0, 0, 5}, 1, {1, 0, 0, 0});
    Sphere after = makeSphere({0, 0, 3}, 1, {0, 1, 0, 0});
    std::vector<PrimitiveRef> refs{ref(before), {&missing.tree, PrimitiveType::NestedTree}};
    const Ray ray = makeRay({0, 0, 0}, {0, 0, 1});

    ASSERT_NE(intersectList(listOf(refs), ray), 0);
    EXPECT_EQ(missing.tree.rayCount, 1u);
    EXPECT_FLOAT_EQ(hitRecord.distance, 4);
    EXPECT_EQ(hitRecord.material.red, 1);

    // Entries after a tree that found nothing are still tested.
    refs.push_back(ref(after));
    ASSERT_NE(intersectList(listOf(refs), ray), 0);
    EXPECT_EQ(missing.tree.rayCount, 2u);
    EXPECT_FLOAT_EQ(hitRecord.distance, 2);
    EXPECT_EQ(hitRecord.material.green, 1);

    std::vector<PrimitiveRef> treeOnly{{&missing.tree, PrimitiveType::NestedTree}};
    EXPECT_EQ(intersectList(listOf(treeOnly), ray), 0);
    EXPECT_EQ(hitRecord.distance, noHitDistance);
}

// With a hit recorded before the tree entry, the nearer of the two stands,
// the earlier one on a tie, and the list reports a hit either way.
TEST(ListQuery, AHitBeforeATreeEntryIsComparedWithTheTreesHit) {
    Sphere inTree = makeSphere({0, 0, 5}, 1, {0, 0, 1, 0});
    PrimitiveRef treeRefs[] = {ref(inTree)};
    const PrimitiveList treeList{treeRefs, 1};
    KdTree* tree = nullptr;
    buildKdTree(&tree, &treeList, 0);
    const Ray ray = makeRay({0, 0, 0}, {0, 0, 1});

    for (float z : {3.0f, 5.0f, 8.0f}) {
        Sphere first = makeSphere({0, 0, z}, 1, {1, 0, 0, 0});
        std::vector<PrimitiveRef> refs{ref(first), {tree, PrimitiveType::NestedTree}};
        ASSERT_NE(intersectList(listOf(refs), ray), 0) << z;
        const bool treeNearer = z > 5.0f;
        EXPECT_FLOAT_EQ(hitRecord.distance, treeNearer ? 4.0f : z - 1.0f) << z;
        EXPECT_EQ(hitRecord.material.blue, treeNearer ? 1.0f : 0.0f) << z;
        EXPECT_EQ(hitRecord.material.red, treeNearer ? 0.0f : 1.0f) << z;
    }
    releaseKdTree(tree);
}

} // namespace
} // namespace vantrel
