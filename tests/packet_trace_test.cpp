// Rays walked eight at a time must get, lane by lane, exactly what each gets
// when walked alone, and the renderer must draw the same frame either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/relative_leaf.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/traverse.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

float frand(std::mt19937& rng, float lo, float hi) {
    return randomFloat(rng, lo, hi);
}

Vector3 unitOffZero(Vector3 d) {
    const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
    return {keepOffZero(d.x / len), keepOffZero(d.y / len), keepOffZero(d.z / len)};
}

// Compares every lane, walked in a context of its own, with its lone walk,
// with the kernel in use; returns the lanes that hit.
int expectLanesMatchInUse(KdTree& tree, const RayPacket& packet) {
    const uint32_t before = tree.rayCount;
    static TraceContext context;
    PacketHits hits;
    intersectKdTreePacket(context, tree, packet, hits);
    addRayCounts(context);
    EXPECT_EQ(tree.rayCount, before + packetLaneCount());
    int hitLanes = 0;
    for (uint32_t lane = 0; lane < packetLaneCount(); ++lane) {
        const bool alone = intersectKdTree(tree, {packet.origin, laneDirection(packet, lane)}) != 0;
        const bool together = (hits.hitMask >> lane) & 1u;
        EXPECT_EQ(together, alone) << kernelName(selectedKernel()) << " lane " << lane;
        if (alone && together) {
            EXPECT_TRUE(sameBits(hits.hit[lane], hitRecord))
                << kernelName(selectedKernel()) << " lane " << lane;
        }
        hitLanes += alone;
    }
    return hitLanes;
}

// Compares every lane with its lone walk, with every kernel; returns the
// lanes that hit.
int expectLanesMatch(KdTree& tree, const RayPacket& packet) {
    KernelGuard guard;
    int hitLanes = 0;
    for (Kernel kernel : availableKernels()) {
        selectKernel(kernel);
        hitLanes += expectLanesMatchInUse(tree, packet);
    }
    return hitLanes;
}

struct RandomScene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    Tree tree;

    // Triangles of up to size corner to corner, their first corners within
    // spread of the centre.
    RandomScene(std::mt19937& rng, int sphereCount, int triangleCount, int method, float spread = 5,
                float size = 2) {
        for (int i = 0; i < sphereCount; ++i) {
            const Vector3 c{frand(rng, -5, 5), frand(rng, -5, 5), frand(rng, -5, 5)};
            spheres.push_back({c, frand(rng, 0.05f, 0.8f), {frand(rng, 0, 1), 0, 0, 0}});
            // Some exact twins, whose ties the first entry must win.
            if (i % 17 == 0)
                spheres.push_back({c, spheres.back().radius, {frand(rng, 0, 1), 1, 0, 0}});
        }
        for (int i = 0; i < triangleCount; ++i) {
            const Vector3 a{frand(rng, -spread, spread), frand(rng, -spread, spread),
                            frand(rng, -spread, spread)};
            const Vector3 b{a.x + frand(rng, -size, size), a.y + frand(rng, -size, size), a.z};
            const Vector3 c{a.x + frand(rng, -size, size), a.y, a.z + frand(rng, -size, size)};
            triangles.push_back({a, b, c, {frand(rng, 0, 1), 2, 0, 0}});
            // Twins here too, which the shuffle puts anywhere in a leaf's
            // groups: with several rays a vector, the first entry must still
            // win.
            if (i % 13 == 0)
                triangles.push_back({a, b, c, {frand(rng, 0, 1), 3, 0, 0}});
        }
        referenceAll(spheres, triangles, refs);
        std::shuffle(refs.begin(), refs.end(), rng);
        const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};
        KdTree* built = nullptr;
        buildKdTree(&built, &list, method);
        tree.reset(built);
    }
};

// Rays from one origin: a narrow fan, as a row of pixels gives, or (wide)
// directions anywhere, whose signs then mostly disagree; for a crowded
// scene, aimed nearer its centre and narrower.
RayPacket randomPacket(std::mt19937& rng, float originSpread, bool wide, bool crowded = false) {
    RayPacket packet;
    packet.origin = {frand(rng, -originSpread, originSpread),
                     frand(rng, -originSpread, originSpread),
                     frand(rng, -originSpread, originSpread)};
    const float reach = crowded ? 1.0f : 4.0f;
    const Vector3 aim{frand(rng, -reach, reach), frand(rng, -reach, reach),
                      frand(rng, -reach, reach)};
    const Vector3 axis =
        unitOffZero({aim.x - packet.origin.x, aim.y - packet.origin.y, aim.z - packet.origin.z});
    const float spread = wide ? 2.0f : (crowded ? 0.005f : 0.05f);
    for (uint32_t lane = 0; lane < maxPacketLanes; ++lane) {
        setLaneDirection(
            packet, lane,
            unitOffZero({axis.x + frand(rng, -spread, spread), axis.y + frand(rng, -spread, spread),
                         axis.z + frand(rng, -spread, spread)}));
    }
    return packet;
}

} // namespace

TEST(PacketTrace, EveryLaneGetsItsLoneWalksHitAndRecord) {
    std::mt19937 rng(2024);
    int hitLanes = 0;
    uint32_t mostTriangles = 0;
    for (int sceneIndex = 0; sceneIndex < 30; ++sceneIndex) {
        const int method = sceneIndex % 3;
        // Spheres only (packed leaves), triangles only, and both mixed; last,
        // small triangles crowded near the centre into leaves of dozens, then
        // of hundreds, which the leaf tests take a part at a time.
        const bool crowded = sceneIndex >= 24;
        const bool packed = sceneIndex >= 27;
        const int spheres = sceneIndex % 4 == 1 ? 0 : 300;
        const int triangles = packed ? 3000 : (crowded ? 1500 : (sceneIndex % 4 == 0 ? 0 : 80));
        RandomScene scene(rng, spheres, triangles, method, packed ? 0.5f : (crowded ? 1.0f : 5.0f),
                          crowded ? 0.3f : 2.0f);
        forEachNode(*scene.tree, [&](uint32_t, const KdTreeNode& node, uint32_t) {
            if (isLeafNode(node) && !isEmptyLeaf(node))
                mostTriangles =
                    std::max(mostTriangles, scene.tree->leafShapes[leafIndex(node)].triangleCount);
        });
        for (int i = 0; i < 200; ++i) {
            // Origins inside the scene as well as outside it.
            const float originSpread = i % 3 == 0 ? 4.0f : 15.0f;
            hitLanes +=
                expectLanesMatch(*scene.tree, randomPacket(rng, originSpread, i % 5 == 0, crowded));
            if (::testing::Test::HasFailure())
                return;
        }
    }
    // The comparison means something only if many lanes hit, and leaves
    // held more triangles than a leaf test takes at once.
    EXPECT_GT(hitLanes, 24 * 200 * 2);
    EXPECT_GT(mostTriangles, 2 * relativeTrianglesAtOnce);
}

TEST(PacketTrace, LanesOutsideTheBoxAndAGrazingLaneMatchTheirLoneWalks) {
    Sphere sphere{{0, 0, 0}, 1, {1, 0, 0, 0}};
    std::vector<PrimitiveRef> refs(4, {&sphere, PrimitiveType::Sphere});
    const PrimitiveList list{refs.data(), 4};
    KdTree* built = nullptr;
    buildKdTree(&built, &list, 0);
    Tree tree(built);
    RayPacket packet;
    packet.origin = {-5, 0, 0};
    for (uint32_t lane = 0; lane < maxPacketLanes; ++lane) {
        // Lanes 0..3 aim off the box; lane 4 along its face; the rest at the sphere.
        const float y = lane < 4 ? 0.5f + 0.3f * lane : (lane == 4 ? 0.2f : 0.02f * lane);
        setLaneDirection(packet, lane, unitOffZero({1, y, 0.001f}));
    }
    EXPECT_GT(expectLanesMatch(*tree, packet), 0);
}

TEST(PacketTrace, AFlatSceneMatchesLaneByLane) {
    // Triangles in the plane z = 2: the box has no depth, and every ray meets
    // it in one point.
    std::mt19937 rng(5);
    std::vector<Sphere> noSpheres;
    std::vector<Triangle> triangles;
    for (int i = 0; i < 60; ++i) {
        const float x = frand(rng, -4, 4);
        const float y = frand(rng, -4, 4);
        triangles.push_back({{x, y, 2}, {x + 1.5f, y, 2}, {x, y + 1.5f, 2}, {1, 0, 0, 0}});
    }
    std::vector<PrimitiveRef> refs;
    referenceAll(noSpheres, triangles, refs);
    const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};
    KdTree* built = nullptr;
    buildKdTree(&built, &list, 0);
    Tree tree(built);
    ASSERT_TRUE(hasFlatBox(*tree));
    int hitLanes = 0;
    for (int i = 0; i < 300; ++i) {
        RayPacket packet = randomPacket(rng, 8.0f, false);
        packet.origin.z = -6.0f;
        hitLanes += expectLanesMatch(*tree, packet);
    }
    EXPECT_GT(hitLanes, 100);
}

TEST(PacketTrace, ATreeTooDeepForTheStackEndsEachLaneAsItsLoneWalkDoes) {
    // A chain along x in which every plane cuts the stretch; the deepest
    // lower leaf holds the sphere. Deeper than the stack, every walk misses.
    Sphere target{{0.5f, 0, 0}, 0.25f, {3, 0, 0, 0}};
    for (int depth : {traversalStackSize, traversalStackSize + 1}) {
        HandTree hand({-1, -100, -100}, {1001, 100, 100});
        hand.lists.push_back({{&target, PrimitiveType::Sphere}});
        for (int level = 0; level < depth; ++level) {
            const uint32_t lowerChild = 2u * static_cast<uint32_t>(level) + 1u;
            hand.nodes.push_back(innerNode(0, 1000.0f - 2.0f * level, lowerChild));
            if (level > 0)
                hand.nodes.push_back(leafNode(0, true));
        }
        hand.nodes.push_back(leafNode(0, false));
        hand.nodes.push_back(leafNode(0, true));
        KdTree& tree = hand.finish();
        RayPacket packet;
        packet.origin = {0, 0, 0};
        for (uint32_t lane = 0; lane < maxPacketLanes; ++lane)
            setLaneDirection(packet, lane, unitOffZero({1, 0.001f * (lane + 1), 0.001f}));
        KernelGuard guard;
        for (Kernel kernel : availableKernels()) {
            selectKernel(kernel);
            const int expected = depth <= traversalStackSize ? int(packetLaneCount()) : 0;
            EXPECT_EQ(expectLanesMatchInUse(tree, packet), expected) << depth;
        }
    }
}

TEST(PacketTrace, TheRendererDrawsTheSameFrameWithAndWithoutPackets) {
    std::mt19937 rng(99);
    RandomScene scene(rng, 2000, 60, 0);
    // A width that leaves a few pixels of each row to single rays.
    const uint32_t width = 75;
    const uint32_t height = 41;
    std::vector<Ray> rays(width * height);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const Vector3 d{(x - width / 2.0f) / width, (y - height / 2.0f) / width, 1.0f};
            rays[y * width + x] = {{0, 0, 0}, unitOffZero(d)};
        }
    }
    std::vector<uint8_t> packed(width * height * 3);
    std::vector<uint8_t> single(width * height * 3);
    KernelGuard guard;
    // Camera at (-3, 1, -12) looking along +z, and one inside the scene.
    for (const Vector3 eye : {Vector3{-3, 1, -12}, Vector3{0.5f, -0.5f, 0.2f}}) {
        const Matrix4 camera = translation(eye.x, eye.y, eye.z);
        PrimitiveRef treeOnly[1] = {{scene.tree.get(), PrimitiveType::NestedTree}};
        // An entry of no known type is skipped, but the list is no longer
        // a tree alone, so every ray is traced by itself.
        PrimitiveRef withSkipped[2] = {treeOnly[0], {nullptr, static_cast<PrimitiveType>(9)}};
        std::vector<uint8_t> first;
        for (Kernel kernel : availableKernels()) {
            SCOPED_TRACE(kernelName(kernel));
            selectKernel(kernel);
            RenderTarget target{width, height, rays.data(), packed.data()};
            renderFrame({treeOnly, 1}, target, camera);
            target.pixels = single.data();
            renderFrame({withSkipped, 2}, target, camera);
            EXPECT_EQ(packed, single);
            if (first.empty())
                first = packed;
            EXPECT_EQ(packed, first);
        }
        size_t lit = 0;
        for (uint8_t byte : packed)
            lit += byte != 0;
        EXPECT_GT(lit, packed.size() / 8);
    }
}

// Axis bits 3 never come from the compiler, but a tree made by hand may hold
// them: every walk reads them as z, lone and packet alike, and so sees the
// same tree as with axis 2 (and reads no axis past z).
TEST(PacketTrace, ASplitAxisOfThreeIsWalkedAsZEverywhere) {
    Sphere below{{0.2f, 0.1f, -1.0f}, 0.8f, {1, 0, 0, 0}};
    Sphere above{{-0.1f, 0.3f, 1.5f}, 0.9f, {0, 1, 0, 0}};
    HandTree asZ({-3, -3, -3}, {3, 3, 3});
    HandTree asThree({-3, -3, -3}, {3, 3, 3});
    for (auto [hand, axis] : {std::pair{&asZ, 2u}, std::pair{&asThree, 3u}}) {
        hand->inner(axis, 0.25f, 1);
        hand->leaf({ref(below)});
        hand->leaf({ref(above)});
    }
    KdTree& z = asZ.finish();
    KdTree& three = asThree.finish();
    std::mt19937 rng(3);
    int hits = 0;
    for (int i = 0; i < 200; ++i) {
        const RayPacket packet = randomPacket(rng, 8.0f, i % 4 == 0);
        hits += expectLanesMatch(three, packet);
        const Ray ray{packet.origin, laneDirection(packet, 0)};
        const int alongZ = intersectKdTree(z, ray);
        const HitRecord recordZ = hitRecord;
        ASSERT_EQ(intersectKdTree(three, ray), alongZ);
        if (alongZ != 0) {
            EXPECT_TRUE(sameBits(hitRecord, recordZ));
        }
        hitRecord.distance = noHitDistance;
        const int recursiveZ = traverseKdTreeRecursive(z, ray, z.nodes, 0.001f, 100.0f);
        EXPECT_EQ(traverseKdTreeRecursive(three, ray, three.nodes, 0.001f, 100.0f), recursiveZ);
    }
    EXPECT_GT(hits, 100);
}
