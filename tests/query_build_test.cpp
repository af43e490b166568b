// The queries' hierarchy as it is built: the same hierarchy, bit for bit,
// on any number of threads and from a list or from arrays of the same
// triangles; a scene from arrays answers as the list's does; a build stops
// at its budget and where memory runs out, giving back all it took.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "test_support.h"
#include "vantrel/bvh/bvh.h"
#include "vantrel/kdtree/build_budget.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/worker_pool.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// A wavy sheet of two triangles a cell, the cells' sizes uneven, as
// vertices and index triples and as the white triangles of a list.
struct Sheet {
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;

    Sheet(uint32_t side, std::mt19937& random) {
        for (uint32_t j = 0; j <= side; ++j)
            for (uint32_t i = 0; i <= side; ++i) {
                const float x = static_cast<float>(i) + randomFloat(random, -0.3f, 0.3f);
                const float z = static_cast<float>(j) + randomFloat(random, -0.3f, 0.3f);
                vertices.insert(vertices.end(), {x, 3.0f * std::sin(0.05f * x * z), z});
            }
        for (uint32_t j = 0; j < side; ++j)
            for (uint32_t i = 0; i < side; ++i) {
                const uint32_t a = j * (side + 1) + i;
                indices.insert(indices.end(),
                               {a, a + 1, a + side + 1, a + 1, a + side + 2, a + side + 1});
            }
        const auto corner = [&](uint32_t k) {
            return Vector3{vertices[3 * k], vertices[3 * k + 1], vertices[3 * k + 2]};
        };
        for (size_t t = 0; t < indices.size(); t += 3)
            triangles.push_back(
                {corner(indices[t]), corner(indices[t + 1]), corner(indices[t + 2]), {1, 1, 1, 0}});
        for (Triangle& t : triangles)
            refs.push_back(ref(t));
    }
    uint32_t vertexCount() const { return static_cast<uint32_t>(vertices.size() / 3); }
    uint32_t triangleCount() const { return static_cast<uint32_t>(triangles.size()); }
};

struct Built {
    QueryScene scene;
    BuildResult result;
    Built(const PrimitiveList& list, const QueryBuildOptions& options)
        : result(buildQueryScene(scene, list, options)) {}
    Built(const Sheet& sheet, const QueryBuildOptions& options)
        : result(buildQueryScene(scene, sheet.vertices.data(), sheet.vertexCount(),
                                 sheet.indices.data(), sheet.triangleCount(), options)) {}
    ~Built() { releaseQueryScene(scene); }
};

QueryBuildOptions onThreads(uint32_t threads) {
    QueryBuildOptions options;
    options.threads = threads;
    return options;
}

// Every byte of the two hierarchies' arrays, and what describes them.
void expectSameHierarchy(const QueryBvh& a, const QueryBvh& b) {
    ASSERT_EQ(a.root, b.root);
    ASSERT_EQ(a.nodeCount, b.nodeCount);
    ASSERT_EQ(a.shapeCount, b.shapeCount);
    ASSERT_EQ(a.leafFloats, b.leafFloats);
    EXPECT_EQ(std::memcmp(a.boundsMin, b.boundsMin, sizeof a.boundsMin), 0);
    EXPECT_EQ(std::memcmp(a.boundsMax, b.boundsMax, sizeof a.boundsMax), 0);
    EXPECT_EQ(std::memcmp(a.nodes.get(), b.nodes.get(), a.nodeCount * sizeof(BvhNode)), 0);
    EXPECT_EQ(
        std::memcmp(a.shapes.get(), b.shapes.get(),
                    (size_t{a.leafFloats} * a.shapeCount + shapeArrayPadding) * sizeof(float)),
        0);
}

} // namespace

// Long enough that the top is cut on every thread and many tasks share the
// rest: one, two and three threads and a pool of the caller's build the
// same hierarchy, and so do the arrays of the same triangles, whose
// indices are the list's.
TEST(QueryBuild, EveryThreadCountAndBothInputsBuildTheSameHierarchy) {
    std::mt19937 random(5);
    const Sheet sheet(280, random); // 156,800 triangles
    std::vector<PrimitiveRef> refs = sheet.refs;
    const Built one(listOf(refs), onThreads(1));
    ASSERT_EQ(one.result, BuildResult::Built);
    EXPECT_EQ(one.scene.bvh->shapeCount, sheet.triangleCount());
    EXPECT_GT(one.scene.bvh->nodeCount, sheet.triangleCount() / 64);
    for (uint32_t threads : {2u, 3u}) {
        SCOPED_TRACE(threads);
        const Built other(listOf(refs), onThreads(threads));
        expectSameHierarchy(*one.scene.bvh, *other.scene.bvh);
    }
    WorkerPool pool(4);
    QueryBuildOptions onPool;
    onPool.pool = &pool;
    const Built arrays(sheet, onPool);
    ASSERT_EQ(arrays.result, BuildResult::Built);
    expectSameHierarchy(*one.scene.bvh, *arrays.scene.bvh);
}

// A scene from arrays answers each ray as the list of the same triangles
// does, but that its hits name no record (object null, material white):
// the same distance, weights, normal and triangle. Triangles with a corner
// that is not finite are left out; an index past the vertices refuses the
// build.
TEST(QueryBuild, ArraysAnswerAsTheListOfTheirTriangles) {
    std::mt19937 random(9);
    Sheet sheet(30, random);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Vertex 0 is triangle 0's alone, which no ray can then hit.
    sheet.vertices[0] = nan;
    sheet.triangles[0].V0.x = nan;
    std::vector<PrimitiveRef> refs = sheet.refs;
    const Built list(listOf(refs), onThreads(2));
    const Built arrays(sheet, onThreads(2));
    ASSERT_EQ(list.result, BuildResult::Built);
    ASSERT_EQ(arrays.result, BuildResult::Built);
    TraceContext context;
    size_t hits = 0;
    for (int i = 0; i < 4000; ++i) {
        const Vector3 origin{randomFloat(random, -5, 35), randomFloat(random, -8, 8),
                             randomFloat(random, -5, 35)};
        const Vector3 target{randomFloat(random, 0, 30), 0, randomFloat(random, 0, 30)};
        const QueryRay ray{origin, target - origin, 0.0f, i % 3 == 0 ? 0.7f : infinity};
        QueryHit expected;
        QueryHit hit;
        const bool found = intersectNearest(context, list.scene, ray, expected);
        ASSERT_EQ(intersectNearest(context, arrays.scene, ray, hit), found);
        ASSERT_EQ(intersectAny(context, arrays.scene, ray), found);
        hits += found;
        if (!found)
            continue;
        ASSERT_EQ(hit.primitive, expected.primitive) << i;
        EXPECT_EQ(floatBits(hit.t), floatBits(expected.t)) << i;
        EXPECT_EQ(floatBits(hit.u), floatBits(expected.u)) << i;
        EXPECT_EQ(floatBits(hit.v), floatBits(expected.v)) << i;
        EXPECT_EQ(std::memcmp(&hit.normal, &expected.normal, sizeof hit.normal), 0) << i;
        EXPECT_EQ(hit.type, PrimitiveType::Triangle);
        EXPECT_EQ(hit.object, nullptr);
        EXPECT_EQ(hit.material.red, 1.0f);
        EXPECT_NE(hit.primitive, 0u);
    }
    EXPECT_GT(hits, 1000u);

    sheet.indices[7] = sheet.vertexCount();
    QueryScene refused;
    EXPECT_EQ(buildQueryScene(refused, sheet.vertices.data(), sheet.vertexCount(),
                              sheet.indices.data(), sheet.triangleCount(), onThreads(1)),
              BuildResult::InvalidInput);
    EXPECT_EQ(refused.bvh, nullptr);
}

// A budget too small for the least a build takes refuses it at once, one
// too small for the whole build stops it, and the memory running out ends
// it too; each leaves nothing and gives its budget back, and a build
// within its budget then goes through.
TEST(QueryBuild, StopsAtItsBudgetAndWhereMemoryRunsOut) {
    std::mt19937 random(13);
    const Sheet sheet(120, random); // 28,800 triangles
    const auto build = [&](size_t budget, size_t limit) {
        QueryBuildOptions options = onThreads(2);
        options.memoryBudget = budget;
        options.memoryLimit = limit;
        const Built built(sheet, options);
        EXPECT_EQ(built.scene.bvh == nullptr, built.result != BuildResult::Built);
        EXPECT_EQ(processBuildBudget().taken(), 0u);
        return built.result;
    };
    // The least: each triangle's ref while it is built, and its place in
    // the leaves; the nodes come on top.
    const size_t least = size_t{sheet.triangleCount()} * (32 + 40);
    EXPECT_EQ(build(least / 2, 0), BuildResult::InputTooLarge);
    EXPECT_EQ(build(least + least / 25, 0), BuildResult::OverBudget);
    EXPECT_EQ(build(0, least / 2), BuildResult::OutOfMemory);
    EXPECT_EQ(build(4 * least, 0), BuildResult::Built);
}

// Within queryCoordinateLimit the tests' products stay in float range, so a
// ray at a point well inside a triangle, or at a sphere's centre, from
// anywhere within it, finds it, whatever the direction's length; shapes
// beyond it are refused at build with their count, from a list and from
// arrays, where the tests once missed them without a word.
TEST(QueryBuild, ShapesWithinTheRangeAreHitAndThoseBeyondRefused) {
    std::mt19937 random(29);
    const float limit = queryCoordinateLimit;
    const auto within = [&](float reach) {
        return Vector3{randomFloat(random, -reach, reach), randomFloat(random, -reach, reach),
                       randomFloat(random, -reach, reach)};
    };
    TraceContext context;
    int traced = 0;
    for (int round = 0; round < 300; ++round) {
        Triangle triangle{within(limit), within(limit), within(limit), {1, 1, 1, 0}};
        const float ws[2] = {randomFloat(random, 0.15f, 0.7f), randomFloat(random, 0.15f, 0.7f)};
        const float w1 = ws[0] * (1 - ws[1] * 0.5f);
        const float w2 = ws[1] * (1 - ws[0] * 0.5f);
        const Vector3 inside = triangle.V0 * (1 - w1 - w2) + triangle.V1 * w1 + triangle.V2 * w2;
        const float radius = randomFloat(random, 1, limit / 2);
        Sphere sphere{within(limit - radius), radius, {1, 1, 1, 0}};
        for (int shape = 0; shape < 2; ++shape) {
            const Vector3 target = shape == 0 ? inside : sphere.centre;
            Vector3 origin = within(limit);
            const Vector3 toward = target - origin;
            if (shape == 1 && std::sqrt(dot(toward, toward)) < 1.5f * radius)
                continue;
            // Not along the triangle's plane, where rounding decides.
            const Vector3 n = cross(triangle.V1 - triangle.V0, triangle.V2 - triangle.V0);
            const double along =
                std::fabs(dot(n, toward)) /
                (std::sqrt(double(dot(n, n))) * std::sqrt(double(dot(toward, toward))));
            if (shape == 0 && !(along > 0.2))
                continue;
            std::vector<PrimitiveRef> refs{shape == 0 ? ref(triangle) : ref(sphere)};
            const Built built(listOf(refs), onThreads(1));
            ASSERT_EQ(built.result, BuildResult::Built);
            const double reach = std::sqrt(double(dot(toward, toward)));
            for (const float length : {1.0f, float(1 / reach)}) {
                const QueryRay ray{origin, toward * length, 0.0f, infinity};
                QueryHit hit;
                ASSERT_TRUE(intersectNearest(context, built.scene, ray, hit))
                    << "round " << round << ", shape " << shape << ", direction " << length;
                const double expected = (shape == 0 ? 1 : (reach - radius) / reach) / length;
                EXPECT_NEAR(hit.t, expected, 1e-4 * expected)
                    << "round " << round << ", shape " << shape << ", direction " << length;
                EXPECT_TRUE(intersectAny(context, built.scene, ray)) << "round " << round;
                ++traced;
            }
        }
    }
    EXPECT_GT(traced, 500);

    // A long direction is traced shortened by a power of two: directions
    // 2^k apart give the same answers, their distances 2^k apart, bit for bit.
    std::vector<Sphere> balls{{{0, 0, 10}, 3, {}}, {{5, 1, -4}, 0.5f, {}}};
    std::vector<Triangle> plates{{{-9, -9, 20}, {9, -9, 20}, {0, 9, 21}, {}}};
    std::vector<PrimitiveRef> mixed;
    referenceAll(balls, plates, mixed);
    const Built both(listOf(mixed), onThreads(1));
    for (int i = 0; i < 400; ++i) {
        const Vector3 origin = within(12);
        const Vector3 d = within(1);
        QueryHit shortest;
        const bool found =
            intersectNearest(context, both.scene, {origin, d, 0.0f, infinity}, shortest);
        for (const float scale : {0x1p17f, 0x1p40f, 0x1p-30f}) {
            QueryHit hit;
            ASSERT_EQ(
                intersectNearest(context, both.scene, {origin, d * scale, 0.0f, infinity}, hit),
                found);
            EXPECT_EQ(intersectAny(context, both.scene, {origin, d * scale, 0.0f, infinity}),
                      found);
            EXPECT_EQ(hit.primitive, shortest.primitive);
            EXPECT_EQ(floatBits(hit.t * scale), floatBits(shortest.t)) << i << " at " << scale;
        }
    }

    // Beyond: a corner, or a sphere's reach, past the limit.
    // A point far off is no triangle a ray can hit, and lies anywhere.
    std::vector<Triangle> triangles{
        {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {}},
        {{1e30f, 1e30f, 1e30f}, {1e30f, 1e30f, 1e30f}, {1e30f, 1e30f, 1e30f}, {}},
        {{-1e19f, -1e19f, 3}, {1e19f, -1e19f, 3}, {0, 1e19f, 3}, {}},
        {{0, 0, 0}, {2 * limit, 0, 0}, {0, 1, 0}, {}},
        {{limit, -limit, 0}, {0, limit, 0}, {-limit, 0, limit}, {}}};
    std::vector<Sphere> spheres{{{0, 0, 0}, 1, {}},
                                {{0, 0, 0}, 2e19f, {}},
                                {{limit, 0, 0}, limit / 4, {}},
                                {{-limit / 2, 0, 0}, limit / 2, {}}};
    std::vector<PrimitiveRef> pointAndTriangle{ref(triangles[0]), ref(triangles[1])};
    EXPECT_EQ(Built(listOf(pointAndTriangle), onThreads(1)).result, BuildResult::Built);
    std::vector<PrimitiveRef> refs;
    referenceAll(spheres, triangles, refs);
    EXPECT_EQ(queryShapesOutOfRange(listOf(refs)), 4u);
    const Built list(listOf(refs), onThreads(2));
    EXPECT_EQ(list.result, BuildResult::OutOfRange);
    EXPECT_EQ(list.scene.bvh, nullptr);
    QueryScene withTree;
    EXPECT_EQ(buildQueryScene(withTree, listOf(refs), 1), BuildResult::OutOfRange);
    EXPECT_EQ(withTree.tree, nullptr);
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    for (const Triangle& t : triangles)
        for (const Vector3& v : {t.V0, t.V1, t.V2}) {
            indices.push_back(static_cast<uint32_t>(vertices.size() / 3));
            vertices.insert(vertices.end(), {v.x, v.y, v.z});
        }
    EXPECT_EQ(queryShapesOutOfRange(vertices.data(), indices.data(), 5), 2u);
    EXPECT_EQ(queryShapesOutOfRange(vertices.data(), indices.data(), 2), 0u);
    QueryScene arrays;
    EXPECT_EQ(buildQueryScene(arrays, vertices.data(), 15, indices.data(), 5, onThreads(1)),
              BuildResult::OutOfRange);
    EXPECT_EQ(arrays.bvh, nullptr);
    // A vertex far off that only a triangle without area uses.
    EXPECT_EQ(buildQueryScene(arrays, vertices.data(), 15, indices.data(), 2, onThreads(1)),
              BuildResult::Built);
    releaseQueryScene(arrays);
    // One shape beyond, among many the threads look through in pieces.
    std::vector<Triangle> many(40000, triangles[0]);
    many[39000] = triangles[3];
    std::vector<PrimitiveRef> manyRefs;
    for (Triangle& t : many)
        manyRefs.push_back(ref(t));
    EXPECT_EQ(Built(listOf(manyRefs), onThreads(2)).result, BuildResult::OutOfRange);
    EXPECT_EQ(processBuildBudget().taken(), 0u);
}
