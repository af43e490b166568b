// Every leaf kernel must leave exactly the record, bit for bit, that the
// in-order list test leaves, and so render exactly the same frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/app/demo_scene.h"
#include "vantrel/app/shell_state.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/compile/compile.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel.h"
#include "vantrel/tracer/packed_leaf.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/trace_context.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

struct Outcome {
    int hit;
    HitRecord record;
};

// A record the tests could not produce, so a field left untouched shows.
HitRecord stale() {
    HitRecord record;
    record.material = {0.25f, -7.0f, 3.5f, 1e9f};
    record.distance = -1.0f;
    record.normal = {9.0f, -9.0f, 0.5f};
    return record;
}

Outcome listOutcome(const PrimitiveList& list, const Ray& ray) {
    hitRecord = stale();
    const int hit = intersectList(list, ray);
    return {hit != 0, hitRecord};
}

Outcome leafOutcome(const KdTree& tree, uint32_t leaf, const Ray& ray) {
    hitRecord = stale();
    const int hit = intersectLeaf(programTraceContext, tree, leaf, ray);
    return {hit != 0, hitRecord};
}

::testing::AssertionResult sameOutcome(const Outcome& expected, const Outcome& actual) {
    if (expected.hit == actual.hit && sameBits(expected.record, actual.record))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "hit " << actual.hit << " distance " << actual.record.distance << " red "
           << actual.record.material.red << ", expected hit " << expected.hit << " distance "
           << expected.record.distance << " red " << expected.record.material.red;
}

Vector3 unitDirection(std::mt19937& random) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (;;) {
        const Vector3 d{normal(random), normal(random), normal(random)};
        const float length = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        if (length > 0.1f)
            return {d.x / length, d.y / length, d.z / length};
    }
}

// A tree of one leaf holding count references in their order, packed as
// the compile step packs it; released with releaseKdTree.
KdTree& oneLeafTree(const PrimitiveRef* refs, uint32_t count) {
    KdTree& tree = *new KdTree{};
    tree.nodes = new KdTreeNode[1]{leafNode(0, false)};
    tree.leaves = new PrimitiveList[1]{{new PrimitiveRef[count], count}};
    std::copy(refs, refs + count, tree.leaves[0].items);
    BuildContext build;
    packLeafShapes(tree, 1, build);
    return tree;
}

// Under every kernel, the leaf test of a one-leaf tree against the list
// test for each ray; the hits the list test found, per kernel.
std::vector<uint32_t> hitsMatchingTheList(const KdTree& tree, const std::vector<Ray>& rays) {
    std::vector<uint32_t> hits;
    for (Kernel kernel : availableKernels()) {
        EXPECT_TRUE(selectKernel(kernel));
        SCOPED_TRACE(kernelName(kernel));
        uint32_t kernelHits = 0;
        for (const Ray& ray : rays) {
            const Outcome expected = listOutcome(tree.leaves[0], ray);
            kernelHits += expected.hit;
            EXPECT_TRUE(sameOutcome(expected, leafOutcome(tree, 0, ray)));
        }
        hits.push_back(kernelHits);
    }
    return hits;
}

struct Field {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    KdTree* tree = nullptr;

    Field() = default;
    Field(const Field&) = delete;
    ~Field() { releaseKdTree(tree); }
};

// Dense overlapping spheres, twins (same place and size, another colour) that
// tie at every distance, and a few triangles so that some leaves mix kinds.
void fillField(Field& field, std::mt19937& random) {
    std::uniform_real_distribution<float> place(-4.0f, 4.0f);
    std::uniform_real_distribution<float> size(0.05f, 1.2f);
    std::uniform_real_distribution<float> colour(0.0f, 1.0f);
    for (int i = 0; i < 1500; ++i) {
        Sphere s{{place(random), place(random), place(random)},
                 size(random),
                 {colour(random), colour(random), colour(random), colour(random)}};
        field.spheres.push_back(s);
        if (i % 7 == 0) {
            s.material.red += 1.0f;
            field.spheres.push_back(s);
        }
    }
    // Triangles of all sizes and slants, slivers below the parallel bound
    // among them, and twins; in a corner of their own, so that some leaves
    // hold only triangles.
    std::uniform_real_distribution<float> reach(-1.5f, 1.5f);
    for (int i = 0; i < 600; ++i) {
        const Vector3 a{place(random), place(random), place(random)};
        const Vector3 corner = i % 3 == 0 ? Vector3{5, 5, 5} + a * 0.25f : a;
        const float s = i % 5 == 0 ? 0.01f : 1.0f;
        Triangle t{corner,
                   corner + Vector3{reach(random), reach(random), reach(random)} * s,
                   corner + Vector3{reach(random), reach(random), reach(random)} * s,
                   {colour(random), colour(random), colour(random), 0}};
        field.triangles.push_back(t);
        if (i % 9 == 0) {
            t.material.red += 1.0f;
            field.triangles.push_back(t);
        }
    }
    referenceAll(field.spheres, field.triangles, field.refs);
    std::shuffle(field.refs.begin(), field.refs.end(), random);
    const PrimitiveList list{field.refs.data(), static_cast<uint32_t>(field.refs.size())};
    buildKdTree(&field.tree, &list, 0);
}

// Rays from outside, from inside spheres and from points on sphere surfaces.
Ray randomRay(const Field& field, std::mt19937& random) {
    std::uniform_real_distribution<float> place(-6.0f, 6.0f);
    std::uniform_int_distribution<size_t> pick(0, field.spheres.size() - 1);
    Ray ray{{place(random), place(random), place(random)}, unitDirection(random)};
    const uint32_t kind = random() % 3;
    if (kind != 0) {
        const Sphere& s = field.spheres[pick(random)];
        const float reach = kind == 1 ? 0.5f * s.radius : s.radius;
        const Vector3 out = unitDirection(random);
        ray.origin = {s.centre.x + out.x * reach, s.centre.y + out.y * reach,
                      s.centre.z + out.z * reach};
    }
    return ray;
}

} // namespace

TEST(PackedLeaf, EveryKernelLeavesTheListTestsRecordOnEveryLeaf) {
    KernelGuard guard;
    std::mt19937 random(2024);
    Field field;
    fillField(field, random);
    const uint32_t leaves = leafCountOf(*field.tree);
    ASSERT_GT(leaves, 20u);

    // The cases the test is meant to reach must really occur: leaves of
    // spheres only, of triangles only, and of both.
    uint32_t kinds[4] = {};
    for (uint32_t k = 0; k < leaves; ++k) {
        const LeafShapes& shapes = field.tree->leafShapes[k];
        ++kinds[(shapes.sphereCount != 0) + 2 * (shapes.triangleCount != 0)];
    }
    EXPECT_GT(kinds[1], leaves / 4);
    EXPECT_GT(kinds[2], 10u);
    EXPECT_GT(kinds[3], 10u);

    std::vector<Ray> rays;
    for (int i = 0; i < 150; ++i)
        rays.push_back(randomRay(field, random));

    for (Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        SCOPED_TRACE(kernelName(kernel));
        uint32_t hits = 0;
        uint32_t failures = 0;
        for (const Ray& ray : rays) {
            for (uint32_t k = 0; k < leaves && failures < 5; ++k) {
                const Outcome expected = listOutcome(field.tree->leaves[k], ray);
                const Outcome actual = leafOutcome(*field.tree, k, ray);
                hits += expected.hit;
                if (!sameOutcome(expected, actual)) {
                    ++failures;
                    ADD_FAILURE() << "leaf " << k << ": "
                                  << sameOutcome(expected, actual).message();
                }
            }
        }
        EXPECT_GT(hits, rays.size()) << "too few hits to tell the kernels apart";
    }
}

TEST(PackedLeaf, TwinsTieAcrossLanesGroupsAndKindsAndTheFirstEntryWins) {
    KernelGuard guard;
    // 40 spheres the ray meets at one distance, spread over three groups,
    // with nearer twins in one lane (21, 37) and in another (26).
    std::vector<Sphere> spheres;
    for (int i = 0; i < 40; ++i) {
        const float shift = (i == 21 || i == 26 || i == 37) ? 0.0f : 1.0f;
        spheres.push_back({{0, 0, 5 + shift}, 1, {static_cast<float>(i), 0, 0, 0}});
    }
    std::vector<PrimitiveRef> refs;
    for (Sphere& s : spheres)
        refs.push_back(ref(s));
    // Built by hand: one leaf holding all of them, in this order.
    KdTree& tree = oneLeafTree(refs.data(), 40);
    const PrimitiveList& leaf = tree.leaves[0];

    const Ray ray{{0, 0, 0}, {0, 0, 1}};
    for (Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        SCOPED_TRACE(kernelName(kernel));
        const Outcome actual = leafOutcome(tree, 0, ray);
        EXPECT_TRUE(sameOutcome(listOutcome(leaf, ray), actual));
        EXPECT_EQ(actual.record.material.red, 21.0f);
        EXPECT_EQ(actual.record.distance, 4.0f);

        // A triangle at the same distance wins only where it comes first.
        Triangle across{{-1, -1, 4}, {3, -1, 4}, {-1, 3, 4}, {-5, 0, 0, 0}};
        for (const uint32_t at : {0u, 21u, 22u}) {
            std::vector<PrimitiveRef> mixed(refs);
            mixed.insert(mixed.begin() + at, ref(across));
            KdTree& both = oneLeafTree(mixed.data(), 41);
            const Outcome tie = leafOutcome(both, 0, ray);
            EXPECT_TRUE(sameOutcome(listOutcome(both.leaves[0], ray), tie));
            EXPECT_EQ(tie.record.material.red, at <= 21 ? -5.0f : 21.0f) << at;
            releaseKdTree(&both);
        }

        // A ray that misses them all resets only the distance.
        const Outcome miss = leafOutcome(tree, 0, {{0, 5, 0}, {0, 0, 1}});
        EXPECT_FALSE(miss.hit);
        EXPECT_EQ(miss.record.distance, noHitDistance);
        EXPECT_EQ(miss.record.material.blue, stale().material.blue);
        EXPECT_EQ(miss.record.normal.x, stale().normal.x);
    }
    releaseKdTree(&tree);
}

// Slivers reaching out to 3e38 along two axes at once: the edge terms
// overflow to infinities of both signs and a weight comes out NaN, which none
// of the list test's exits refuses, while the distance to the plane stays
// finite. Every kernel must then judge by the rest as the list test does.
TEST(PackedLeaf, NaNWeightsLeaveTheRestToDecideInEveryKernel) {
    KernelGuard guard;
    std::mt19937 random(38);
    std::uniform_real_distribution<float> place(-2.0f, 2.0f);
    std::vector<Triangle> triangles;
    for (int i = 0; i < 24; ++i) {
        const Vector3 a{place(random), place(random), place(random)};
        const Vector3 far = i % 2 == 0 ? Vector3{3e38f, -3e38f, 0} : Vector3{0, 3e38f, -3e38f};
        const Vector3 near{0.001f * place(random), 0.001f * place(random), 0.001f};
        triangles.push_back({a, a + far, a + near, {static_cast<float>(i), 0, 0, 0}});
    }
    std::vector<PrimitiveRef> refs;
    for (Triangle& t : triangles)
        refs.push_back(ref(t));
    KdTree& tree = oneLeafTree(refs.data(), 24);
    std::vector<Ray> rays;
    for (int i = 0; i < 2000; ++i)
        rays.push_back(
            {{4 * place(random), 4 * place(random), 4 * place(random)}, unitDirection(random)});
    for (const uint32_t hits : hitsMatchingTheList(tree, rays))
        EXPECT_GT(hits, 50u);
    releaseKdTree(&tree);
}

// The side of a hit is worked out from the winner's distance alone: rays from
// the very centre, grazing rays whose roots nearly meet, and rays leaving
// through the far side must still get the list test's normal.
TEST(PackedLeaf, InsideAndGrazingHitsKeepTheListTestsNormal) {
    KernelGuard guard;
    std::vector<Sphere> spheres;
    for (int i = 0; i < 20; ++i)
        spheres.push_back({{0.3f * i, 0, 10}, 1.0f + 0.01f * i, {float(i), 0, 0, 0}});
    std::vector<PrimitiveRef> refs;
    for (Sphere& s : spheres)
        refs.push_back(ref(s));
    std::vector<Ray> rays;
    for (const Sphere& s : spheres) {
        rays.push_back({s.centre, {0, 0, 1}});  // from the centre
        rays.push_back({s.centre, {0, 0, -1}}); // from the centre, backwards
        for (float shave : {0.0f, 1e-7f, 1e-6f, 1e-4f}) {
            const float x = s.centre.x + s.radius * (1.0f - shave);
            rays.push_back({{x, 0, 0}, {0, 0, 1}});  // grazing from outside
            rays.push_back({{x, 0, 10}, {0, 0, 1}}); // grazing from inside
        }
    }
    for (size_t leafSize : {size_t{1}, size_t{9}, refs.size()}) {
        KdTree& tree = oneLeafTree(refs.data(), static_cast<uint32_t>(leafSize));
        for (const uint32_t hits : hitsMatchingTheList(tree, rays))
            EXPECT_GT(hits, 0u);
        releaseKdTree(&tree);
    }
}

// The demo as the program sets it up, its frame at 5000 ms through every
// kernel, packets included.
TEST(PackedLeaf, EveryKernelRendersTheSameDemoFrame) {
    KernelGuard guard;
    buildDemoScene();
    std::vector<uint8_t> first;
    for (Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        renderFrame(topLevelList, renderTarget, cameraMatrixAt(5000));
        const std::vector<uint8_t> frame(renderTarget.pixels,
                                         renderTarget.pixels + demoWidth * demoHeight * 3);
        if (first.empty())
            first = frame;
        EXPECT_TRUE(frame == first) << kernelName(kernel);
    }
    releaseScene();
}
