// Scenes at the edges of what the tree handles: a walk through the compiled
// tree must find what a scan of the flat list finds, for every method.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kdtree/build.h"
#include "kdtree/kd_node.h"
#include "tracer/intersect.h"
#include "tracer/traverse.h"

using namespace vantrel;

namespace {

struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;

    PrimitiveList list() {
        refs.clear();
        for (Sphere& s : spheres)
            refs.push_back({&s, PrimitiveType::Sphere});
        for (Triangle& t : triangles)
            refs.push_back({&t, PrimitiveType::Triangle});
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
    // The hit test squares the radius, so the sphere is drawn at radius 1.
    Sphere sphere{{0, 0, 5}, -1, {1, 1, 1, 0}};
    CKdNode node;
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
