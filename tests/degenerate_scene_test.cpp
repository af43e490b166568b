// Scenes at the edges of what the tree handles: a walk through the compiled
// tree must find what a scan of the flat list finds, for every method.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/traverse.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;

    PrimitiveList list() {
        referenceAll(spheres, triangles, refs);
        return {refs.data(), static_cast<uint32_t>(refs.size())};
    }
};

Vector3 unit(Vector3 v) {
    const float length = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / length, v.y / length, v.z / length};
}

// Every ray must get the same answer, to the bit, through the tree as from
// the flat list; returns how many of them hit.
int expectTreeMatchesList(Scene& scene, const std::vector<Ray>& rays, int32_t method) {
    const PrimitiveList flat = scene.list();
    KdTree* tree = nullptr;
    buildKdTree(&tree, &flat, method);
    PrimitiveRef treeRef{tree, PrimitiveType::NestedTree};
    const PrimitiveList topLevel{&treeRef, 1};
    int hits = 0;
    for (const Ray& ray : rays) {
        const int expected = intersectList(flat, ray);
        const float expectedDistance = hitRecord.distance;
        const int found = intersectList(topLevel, ray);
        EXPECT_EQ(found != 0, expected != 0)
            << "method " << method << ", ray along (" << ray.direction.x << ", " << ray.direction.y
            << ", " << ray.direction.z << ")";
        if (found && expected) {
            EXPECT_EQ(hitRecord.distance, expectedDistance);
        }
        hits += expected != 0;
    }
    releaseKdTree(tree);
    return hits;
}

// A fan of rays from one point, through a grid of targets.
std::vector<Ray> fan(Vector3 origin, float z, float from, float to, int steps) {
    std::vector<Ray> rays;
    for (int i = 0; i <= steps; ++i)
        for (int j = 0; j <= steps; ++j) {
            const Vector3 target{from + (to - from) * i / steps, from + (to - from) * j / steps, z};
            rays.push_back(
                {origin, unit({target.x - origin.x, target.y - origin.y, target.z - origin.z})});
        }
    return rays;
}

} // namespace

TEST(DegenerateScene, NegativeRadiusIsBoundedByItsMagnitude) {
    BuildContext build;
    // The hit test squares the radius, so the sphere is drawn at radius 1.
    Sphere sphere{{0, 0, 5}, -1, {1, 1, 1, 0}};
    CKdNode node(build);
    node.primitives.push_front({&sphere, PrimitiveType::Sphere});
    computeBounds(node);
    EXPECT_EQ(node.boundsMin[0], -1.0f);
    EXPECT_EQ(node.boundsMin[2], 4.0f);
    EXPECT_EQ(node.boundsMax[0], 1.0f);
    EXPECT_EQ(node.boundsMax[2], 6.0f);

    Scene scene;
    scene.spheres = {sphere,
                     {{4, 0, 5}, 1, {}},
                     {{-4, 0, 5}, -0.5f, {}},
                     {{0, 4, 8}, 1, {}},
                     {{0, -4, 2}, -2, {}}};
    const std::vector<Ray> rays = fan({0.1f, 0.2f, -10}, 5, -5, 5, 12);
    for (int32_t method = 0; method <= 2; ++method)
        EXPECT_GT(expectTreeMatchesList(scene, rays, method), 0);
}

TEST(DegenerateScene, PlanarMeshIsHitThroughTheTree) {
    // A floor of 8 x 8 quads in the plane z = 5: the tree's box has no depth,
    // so every ray meets it in a single point, and the triangle test's
    // distance may round past the box's. Rays from both sides.
    Scene scene;
    // Corners off the unit grid, so that the triangles' normals are not
    // powers of two and their distances round differently from the box's.
    auto corner = [](int x, int y) { return Vector3{x + 0.1f * (y % 3), y + 0.07f * (x % 4), 5}; };
    for (int x = 0; x < 8; ++x)
        for (int y = 0; y < 8; ++y) {
            scene.triangles.push_back({corner(x, y), corner(x + 1, y), corner(x, y + 1), {}});
            scene.triangles.push_back(
                {corner(x + 1, y), corner(x + 1, y + 1), corner(x, y + 1), {}});
        }
    std::vector<Ray> rays;
    for (const Vector3 origin : {Vector3{-2.3f, 1.7f, -7.1f}, Vector3{-27.81f, -2.49f, 8.44f},
                                 Vector3{13.37f, -4.21f, -3.3f}, Vector3{3.14f, 2.72f, 9.88f}}) {
        const std::vector<Ray> more = fan(origin, 5, -0.37f, 8.41f, 23);
        rays.insert(rays.end(), more.begin(), more.end());
    }
    for (int32_t method = 0; method <= 2; ++method)
        EXPECT_GT(expectTreeMatchesList(scene, rays, method), 1000);
}
