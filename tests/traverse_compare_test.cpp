// The walks through a built tree must find exactly what a brute-force test of
// the whole flat list finds.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/traverse.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    KdTree* tree = nullptr;

    Scene() = default;
    Scene(const Scene&) = delete;
    ~Scene() { releaseKdTree(tree); }

    void build() {
        referenceAll(spheres, triangles, refs);
        // Mix the kinds so leaves see both.
        std::shuffle(refs.begin(), refs.end(), std::mt19937(7));
        const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};
        buildKdTree(&tree, &list, 0);
    }
    PrimitiveList flat() { return {refs.data(), static_cast<uint32_t>(refs.size())}; }
};

struct Outcome {
    int hit;
    HitRecord record;
};

// The stretch the recursive walk is given: the tree's own clip.
bool clip(const KdTree& tree, const Ray& ray, float& entry, float& exit) {
    const float inverse[3] = {1.0f / ray.direction.x, 1.0f / ray.direction.y,
                              1.0f / ray.direction.z};
    return clipToTreeBox(tree, ray, inverse, entry, exit);
}

void expectSame(const Outcome& brute, const Outcome& walk, const char* which, int ray) {
    ASSERT_EQ(brute.hit != 0, walk.hit != 0) << which << " ray " << ray;
    if (!brute.hit)
        return;
    EXPECT_EQ(brute.record.distance, walk.record.distance) << which << " ray " << ray;
    EXPECT_EQ(brute.record.normal.x, walk.record.normal.x) << which << " ray " << ray;
    EXPECT_EQ(brute.record.normal.y, walk.record.normal.y) << which << " ray " << ray;
    EXPECT_EQ(brute.record.normal.z, walk.record.normal.z) << which << " ray " << ray;
    EXPECT_EQ(brute.record.material.red, walk.record.material.red) << which << " ray " << ray;
    EXPECT_EQ(brute.record.material.green, walk.record.material.green) << which << " ray " << ray;
    EXPECT_EQ(brute.record.material.blue, walk.record.material.blue) << which << " ray " << ray;
}

// Unit direction with every component kept off zero, as the renderer does.
Vector3 randomDirection(std::mt19937& rng) {
    std::normal_distribution<float> n(0.0f, 1.0f);
    Vector3 d{n(rng), n(rng), n(rng)};
    const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    return {keepOffZero(d.x / len), keepOffZero(d.y / len), keepOffZero(d.z / len)};
}

// Traces rays and compares; returns how many hit.
int compareRays(Scene& scene, std::mt19937& rng, int rayCount, float originSpread,
                float aimSpread) {
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    int hits = 0;
    for (int i = 0; i < rayCount; ++i) {
        Ray ray;
        ray.origin = {u(rng) * originSpread, u(rng) * originSpread, u(rng) * originSpread};
        if (i % 2 == 0) {
            ray.direction = randomDirection(rng);
        } else {
            // Aim at a point in the scene so that most rays hit something.
            const Vector3 target{u(rng) * aimSpread, u(rng) * aimSpread, u(rng) * aimSpread};
            Vector3 d{target.x - ray.origin.x, target.y - ray.origin.y, target.z - ray.origin.z};
            const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
            ray.direction = {keepOffZero(d.x / len), keepOffZero(d.y / len),
                             keepOffZero(d.z / len)};
        }
        Outcome brute;
        brute.hit = intersectList(scene.flat(), ray);
        brute.record = hitRecord;

        Outcome iterative;
        iterative.hit = intersectKdTree(*scene.tree, ray);
        iterative.record = hitRecord;
        expectSame(brute, iterative, "iterative", i);

        Outcome recursive{0, {}};
        float entry, exit;
        if (clip(*scene.tree, ray, entry, exit))
            recursive.hit =
                traverseKdTreeRecursive(*scene.tree, ray, &scene.tree->nodes[0], entry, exit);
        recursive.record = hitRecord;
        expectSame(brute, recursive, "recursive", i);
        if (::testing::Test::HasFailure())
            return hits;
        hits += brute.hit != 0;
    }
    return hits;
}

float frand(std::mt19937& rng, float lo, float hi) {
    return std::uniform_real_distribution<float>(lo, hi)(rng);
}

} // namespace

TEST(TreeWalk, MatchesBruteForceOnRandomSpheresAndTriangles) {
    std::mt19937 rng(12345);
    int hits = 0;
    int rays = 0;
    for (int set = 0; set < 40; ++set) {
        Scene scene;
        const int sphereCount = static_cast<int>(frand(rng, 0, 300));
        const int triangleCount = static_cast<int>(frand(rng, 0, 150));
        for (int i = 0; i < sphereCount; ++i)
            scene.spheres.push_back({{frand(rng, -5, 5), frand(rng, -5, 5), frand(rng, -5, 5)},
                                     frand(rng, 0.05f, 0.8f),
                                     {frand(rng, 0, 1), frand(rng, 0, 1), frand(rng, 0, 1), 0}});
        for (int i = 0; i < triangleCount; ++i) {
            const Vector3 a{frand(rng, -5, 5), frand(rng, -5, 5), frand(rng, -5, 5)};
            auto near = [&] {
                return Vector3{a.x + frand(rng, -1.5f, 1.5f), a.y + frand(rng, -1.5f, 1.5f),
                               a.z + frand(rng, -1.5f, 1.5f)};
            };
            scene.triangles.push_back(
                {a, near(), near(), {frand(rng, 0, 1), frand(rng, 0, 1), frand(rng, 0, 1), 0}});
        }
        scene.build();
        ASSERT_NE(scene.tree, nullptr);
        // Origins both inside and well outside the box.
        hits += compareRays(scene, rng, 150, 12.0f, 5.0f);
        rays += 150;
        if (HasFailure())
            return;
    }
    // Most rays must hit something, or the comparison proves little.
    EXPECT_GT(hits, rays / 3);
}

TEST(TreeWalk, MatchesBruteForceOnTheDemoSceneDistribution) {
    // 250,000 spheres: anchor in [-10, 10], offset in [-1, 1] on each axis,
    // radius in [0.125, 0.625], colour channels in [0, 1].
    std::mt19937 rng(2026);
    Scene scene;
    const uint32_t count = 250000;
    scene.spheres.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        Vector3 c;
        c.x = frand(rng, -10, 10) + frand(rng, -1, 1);
        c.y = frand(rng, -10, 10) + frand(rng, -1, 1);
        c.z = frand(rng, -10, 10) + frand(rng, -1, 1);
        scene.spheres.push_back({c,
                                 (frand(rng, 0, 1) + 0.25f) * 0.5f,
                                 {frand(rng, 0, 1), frand(rng, 0, 1), frand(rng, 0, 1), 0}});
    }
    scene.build();
    ASSERT_NE(scene.tree, nullptr);
    // Camera-like origins around the field, and origins inside it.
    const int rays = casesToRun(1000);
    const int hits = compareRays(scene, rng, rays, 25.0f, 10.0f);
    EXPECT_GT(hits, rays * 2 / 5);
}

TEST(TreeWalk, NonFiniteAndZeroSizedSpheresNeitherHangNorBreakTheWalk) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::mt19937 rng(99);
    Scene scene;
    for (int i = 0; i < 200; ++i)
        scene.spheres.push_back(
            {{frand(rng, -3, 3), frand(rng, -3, 3), frand(rng, -3, 3)}, 0.3f, {0.5f, 0, 0, 0}});
    scene.spheres.push_back({{nan, 0, 0}, 1, {}});
    scene.spheres.push_back({{0, inf, 0}, 1, {}});
    scene.spheres.push_back({{0, 0, -inf}, 1, {}});
    scene.spheres.push_back({{0, 0, 0}, inf, {}});
    scene.spheres.push_back({{0, 0, 0}, nan, {}});
    for (int i = 0; i < 50; ++i)
        scene.spheres.push_back({{1, 1, 1}, 0, {}});
    scene.build();
    ASSERT_NE(scene.tree, nullptr);
    for (int k = 0; k < 3; ++k) {
        EXPECT_TRUE(std::isfinite(scene.tree->boundsMin[k]));
        EXPECT_TRUE(std::isfinite(scene.tree->boundsMax[k]));
    }
    EXPECT_GT(compareRays(scene, rng, 400, 8.0f, 3.0f), 50);
}
