// The query interface: the tree's answers against a scan of the whole list,
// a closed mesh that no ray leaves at any scale, segments and direction
// lengths, and batches on pools against single queries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "test_support.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/worker_pool.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

struct Scene {
    QueryScene query;
    explicit Scene(const PrimitiveList& list, int32_t method) {
        EXPECT_EQ(buildQueryScene(query, list, method), BuildResult::Built);
    }
    ~Scene() { releaseQueryScene(query); }
};

bool sameHit(const QueryHit& a, const QueryHit& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Towards target at a random length, each component zero one time in four.
Vector3 randomDirection(std::mt19937& random, const Vector3& towards) {
    const float length = std::exp2(randomFloat(random, -6.0f, 6.0f));
    Vector3 d = towards * length;
    for (float* c : {&d.x, &d.y, &d.z})
        *c = random() % 4 == 0 ? 0.0f : *c;
    return d;
}

// References to the triangles alone, for a scene's list.
std::vector<PrimitiveRef> refsOf(std::vector<Triangle>& triangles) {
    std::vector<Sphere> none;
    std::vector<PrimitiveRef> refs;
    referenceAll(none, triangles, refs);
    return refs;
}

// A cube of side 2n centred on the origin, each face a grid of n x n squares
// cut into two triangles, corners on whole numbers times scale.
std::vector<Triangle> closedCube(int n, float scale) {
    std::vector<Triangle> triangles;
    const auto corner = [&](int axis, int side, int i, int j) {
        float p[3];
        p[axis] = static_cast<float>(side * n) * scale;
        p[(axis + 1) % 3] = static_cast<float>(i - n) * scale;
        p[(axis + 2) % 3] = static_cast<float>(j - n) * scale;
        return Vector3{p[0], p[1], p[2]};
    };
    for (int axis = 0; axis < 3; ++axis)
        for (int side : {-1, 1})
            for (int i = 0; i < 2 * n; ++i)
                for (int j = 0; j < 2 * n; ++j) {
                    const Vector3 a = corner(axis, side, i, j), b = corner(axis, side, i + 1, j),
                                  c = corner(axis, side, i + 1, j + 1),
                                  d = corner(axis, side, i, j + 1);
                    triangles.push_back({a, b, c, {1, 1, 1, 0}});
                    triangles.push_back({a, c, d, {1, 1, 1, 0}});
                }
    return triangles;
}

// Under every kernel, the scene built by method answers rays bit for bit
// as testing the whole list does, nearest and occlusion; hits counts the
// rays that meet something.
void answerAsTheWholeList(std::vector<PrimitiveRef>& refs, const std::vector<QueryRay>& rays,
                          int32_t method, size_t& hits) {
    const Scene whole(listOf(refs), scanWholeList);
    const KernelGuard restore;
    TraceContext context;
    for (const Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        SCOPED_TRACE(kernelName(kernel));
        const Scene scene(listOf(refs), method);
        hits = 0;
        std::vector<char> found(rays.size());
        for (size_t i = 0; i < rays.size(); ++i) {
            QueryHit expected;
            QueryHit hit;
            found[i] = intersectNearest(context, whole.query, rays[i], expected);
            intersectNearest(context, scene.query, rays[i], hit);
            ASSERT_TRUE(sameHit(hit, expected)) << "ray " << i;
            ASSERT_EQ(intersectAny(context, scene.query, rays[i]), found[i] != 0) << i;
            hits += found[i];
        }
        // Batches on three threads, whose runs of rays from one point may
        // walk together.
        WorkerPool pool(3);
        std::vector<char> occluded(rays.size());
        intersectAny(pool, scene.query, rays.data(), reinterpret_cast<bool*>(occluded.data()),
                     rays.size());
        std::vector<QueryHit> nearest(rays.size());
        intersectNearest(pool, scene.query, rays.data(), nearest.data(), rays.size());
        for (size_t i = 0; i < rays.size(); ++i) {
            ASSERT_EQ(occluded[i] != 0, found[i] != 0) << "batch, ray " << i;
            QueryHit expected;
            intersectNearest(context, whole.query, rays[i], expected);
            ASSERT_TRUE(sameHit(nearest[i], expected)) << "batch, ray " << i;
        }
    }
}

// Appends for every few rays a fan of rays from its origin, of up to twice
// a walk's lanes, some of them segments and one now and then going nowhere,
// as a batch of occlusion samples from shading points comes.
void addFans(std::mt19937& random, std::vector<QueryRay>& rays) {
    const size_t alone = rays.size();
    for (size_t i = 0; i < alone; i += 5) {
        const int fan = 1 + static_cast<int>(random() % 40);
        for (int k = 0; k < fan; ++k) {
            // About where the first ray goes, so that many meet something.
            const Vector3& d = rays[i].direction;
            const float spread = 0.5f * std::sqrt(dot(d, d));
            const Vector3 towards = d + Vector3{randomFloat(random, -spread, spread),
                                                randomFloat(random, -spread, spread),
                                                randomFloat(random, -spread, spread)};
            QueryRay ray{rays[i].origin, randomDirection(random, towards), 0.0f, infinity};
            if (random() % 3 == 0)
                ray.tfar = randomFloat(random, 0.0f, 4.0f) *
                           std::max(1.0f, std::sqrt(dot(rays[i].origin, rays[i].origin)));
            if (random() % 16 == 0)
                ray.direction = {0, 0, 0};
            rays.push_back(ray);
        }
    }
}

} // namespace

// The same floats from the tree of every method as from testing every
// entry, for rays of any length, zero components and segments; the
// occlusion query agrees; batches on pools answer as single queries do,
// fans of rays from one point among them.
TEST(Queries, TreesAnswerAsTheWholeListOnRandomScenes) {
    std::mt19937 random(11);
    std::vector<Sphere> spheres(60);
    std::vector<Triangle> triangles(240);
    for (Sphere& s : spheres)
        s = {{randomFloat(random, -8, 8), randomFloat(random, -8, 8), randomFloat(random, -8, 8)},
             randomFloat(random, 0.05f, 1.5f),
             {0.5f, 0.5f, 0.5f, 0}};
    for (size_t i = 0; i < triangles.size(); ++i) {
        Vector3 c{randomFloat(random, -8, 8), randomFloat(random, -8, 8),
                  randomFloat(random, -8, 8)};
        Triangle& t = triangles[i];
        t = {c, c, c, {0.25f, 0.5f, 1, float(i % 5)}}; // materials of their own
        for (Vector3* v : {&t.V1, &t.V2})
            *v = {c.x + randomFloat(random, -2, 2), c.y + randomFloat(random, -2, 2),
                  c.z + randomFloat(random, -2, 2)};
        if (i % 3 == 0) // flat in a plane of the tree's axes, on whole numbers
            t.V0.z = t.V1.z = t.V2.z = std::round(c.z);
    }
    std::vector<Sphere> innerSpheres(spheres.begin(), spheres.begin() + 10);
    for (Sphere& s : innerSpheres)
        s.centre.y += 1.0f;
    std::vector<PrimitiveRef> inner;
    for (Sphere& s : innerSpheres)
        inner.push_back(ref(s));
    const Tree nested = buildTree(inner, 1);
    std::vector<PrimitiveRef> refs;
    referenceAll(spheres, triangles, refs);
    refs.push_back({nested.get(), PrimitiveType::NestedTree});

    std::vector<QueryRay> rays(3000);
    for (QueryRay& ray : rays) {
        const Vector3 origin{randomFloat(random, -12, 12), randomFloat(random, -12, 12),
                             randomFloat(random, -12, 12)};
        const Vector3 target{randomFloat(random, -6, 6), randomFloat(random, -6, 6),
                             randomFloat(random, -6, 6)};
        ray = {origin, randomDirection(random, target - origin), 0.0f, infinity};
        if (random() % 3 == 0) // segments that may begin behind the origin
            ray.tnear = randomFloat(random, -10.0f, 10.0f);
        if (random() % 3 == 0)
            ray.tfar = ray.tnear + randomFloat(random, 0.0f, 10.0f);
    }
    // Fans walk together, and the nested tree outside the hierarchy is then
    // tested for each ray they leave unoccluded.
    addFans(random, rays);
    const Scene whole(listOf(refs), scanWholeList);
    TraceContext context;
    std::vector<QueryHit> expected(rays.size());
    size_t hits = 0;
    for (size_t i = 0; i < rays.size(); ++i)
        hits += intersectNearest(context, whole.query, rays[i], expected[i]);
    EXPECT_GT(hits, rays.size() / 4);

    // Every kernel's leaf tests, bit for bit the list's entry by entry.
    const KernelGuard restore;
    for (const Kernel kernel : availableKernels())
        for (int32_t method : {0, 1, 2}) {
            ASSERT_TRUE(selectKernel(kernel));
            SCOPED_TRACE(kernelName(kernel));
            const Scene scene(listOf(refs), method);
            size_t nestedHits = 0;
            for (size_t i = 0; i < rays.size(); ++i) {
                QueryHit hit;
                const bool found = intersectNearest(context, scene.query, rays[i], hit);
                ASSERT_TRUE(sameHit(hit, expected[i])) << "method " << method << ", ray " << i;
                ASSERT_EQ(intersectAny(context, scene.query, rays[i]), found) << i;
                // A segment ending at its own hit still meets it: the box
                // holding the hit is not passed by at the segment's end.
                if (found) {
                    ASSERT_TRUE(
                        intersectAny(context, scene.query,
                                     {rays[i].origin, rays[i].direction, rays[i].tnear, hit.t}))
                        << i;
                }
                nestedHits += found && hit.primitive == refs.size() - 1;
            }
            EXPECT_GT(nestedHits, 0u);
            for (uint32_t threads : {1u, 3u}) {
                WorkerPool pool(threads);
                std::vector<QueryHit> batch(rays.size());
                std::vector<char> occluded(rays.size());
                intersectNearest(pool, scene.query, rays.data(), batch.data(), rays.size());
                intersectAny(pool, scene.query, rays.data(),
                             reinterpret_cast<bool*>(occluded.data()), rays.size());
                for (size_t i = 0; i < rays.size(); ++i) {
                    ASSERT_TRUE(sameHit(batch[i], expected[i])) << threads << " threads, ray " << i;
                    ASSERT_EQ(occluded[i] != 0, expected[i].primitive != noPrimitive) << i;
                }
            }
        }

    // Hits are named by their entry's place in the list, whether the list
    // follows the triangles' own order in memory, or not, or for its first
    // half only.
    std::vector<PrimitiveRef> forward = refsOf(triangles);
    std::vector<PrimitiveRef> backward(forward.rbegin(), forward.rend());
    const size_t half = forward.size() / 2;
    std::vector<PrimitiveRef> halfway = forward;
    std::reverse(halfway.begin() + half, halfway.end());
    const Scene inOrder(listOf(forward), 1), reversed(listOf(backward), 1),
        halfInOrder(listOf(halfway), 1);
    size_t named = 0;
    for (const QueryRay& ray : rays) {
        QueryHit a, b, c;
        if (intersectNearest(context, inOrder.query, ray, a) &&
            intersectNearest(context, reversed.query, ray, b) && a.object == b.object) {
            const auto index =
                static_cast<size_t>(static_cast<const Triangle*>(a.object) - &triangles[0]);
            ASSERT_EQ(a.primitive, index);
            ASSERT_EQ(b.primitive, triangles.size() - 1 - index);
            ASSERT_TRUE(intersectNearest(context, halfInOrder.query, ray, c));
            ASSERT_EQ(c.object, a.object);
            ASSERT_EQ(c.primitive, index < half ? index : half + triangles.size() - 1 - index);
            ++named;
        }
    }
    EXPECT_GT(named, rays.size() / 10);

    // Spheres alone: a list of the other kind in its memory order.
    std::vector<PrimitiveRef> sphereRefs;
    for (Sphere& s : spheres)
        sphereRefs.push_back(ref(s));
    size_t sphereHits = 0;
    answerAsTheWholeList(sphereRefs, rays, 1, sphereHits);
    EXPECT_GT(sphereHits, rays.size() / 10);
}

// Scenes that push the hierarchy's build to its limits answer exactly as
// the whole list does, under every kernel: thousands of copies of a sphere
// and a triangle in one place, whose ties the first entry wins; a chain of
// triangles each twice as far out as the one before, which the cost model
// would peel off one a level; entries that are not finite.
TEST(Queries, TheHierarchyAnswersAsTheWholeListOnHostileScenes) {
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    std::mt19937 random(23);
    std::vector<Sphere> spheres(500, Sphere{{1, 2, 3}, 0.5f, {1, 0, 0, 0}});
    std::vector<Triangle> triangles(2000, Triangle{{0, 0, 0}, {2, 0, 1}, {0, 3, 2}, {0, 1, 0, 0}});
    // Out to the edge of the range the queries take (queryCoordinateLimit).
    for (int i = 0; i < 39; ++i) {
        const float x = std::ldexp(1.0f, i);
        spheres.push_back({{-x, 0, 0}, 0.25f * x, {0, 0, 1, 0}});
        triangles.push_back({{x, -1, -1}, {x, 1, -1}, {x, 0, 1}, {0, 0, 1, 0}});
    }
    spheres.push_back({{nan, 0, 0}, 1, {}});
    triangles.push_back({{0, 0, infinity}, {1, 0, 0}, {0, 1, 0}, {}});
    std::vector<PrimitiveRef> refs;
    referenceAll(spheres, triangles, refs);
    std::shuffle(refs.begin(), refs.end(), random);

    // At a random entry's first corner or centre, from as far off as it
    // lies from the origin.
    std::vector<QueryRay> rays(casesToRun(2000));
    for (QueryRay& ray : rays) {
        const PrimitiveRef& at = refs[random() % refs.size()];
        const Vector3 target = at.type == PrimitiveType::Sphere
                                   ? static_cast<const Sphere*>(at.object)->centre
                                   : static_cast<const Triangle*>(at.object)->V0;
        const Vector3 away{randomFloat(random, -1, 1), randomFloat(random, -1, 1),
                           randomFloat(random, -1, 1)};
        ray = {target + away * std::max(1.0f, std::sqrt(dot(target, target))),
               randomDirection(random, away * -1.0f), 0.0f, infinity};
    }
    // Rays that are nowhere or go nowhere.
    rays.push_back({{nan, 0, 0}, {1, 0, 0}, 0.0f, infinity});
    rays.push_back({{0, 0, 0}, {-infinity, 1, 0}, 0.0f, infinity});
    // Directions whose reciprocals overflow or come out below the floats'
    // range, from the origin and from far off.
    for (const Vector3& d : {Vector3{1e-40f, 0, 0}, Vector3{1e-30f, -1e-38f, 2e-39f},
                             Vector3{3e38f, -1e-3f, 0}, Vector3{-1, 1e-39f, 1e30f}})
        for (const Vector3& o : {Vector3{0, 0, 0}, Vector3{-1e30f, 0.5f, 3}})
            rays.push_back({o, d, 0.0f, infinity});
    // Triangles with no area, their corners on one line, and a ray that
    // crosses the line: rounding once made their edge functions agree and
    // their sum a noise that put a distance off the triangle, which the
    // hierarchy passed by for one copy and not another.
    const Triangle collinear{{-0.0f, 13, 13}, {-0.0f, -0.0f, -0.0f}, {-0.0f, -4.5f, -4.5f}, {}};
    std::vector<Triangle> flat(3, collinear);
    const QueryRay across{{27.1714973f, 35.7704163f, -27.2427063f},
                          {-0.520252883f, -0.630646586f, 0.575866163f},
                          3.29848194f,
                          infinity};
    rays.push_back(across);
    addFans(random, rays);
    std::vector<PrimitiveRef> flatRefs = refsOf(flat);
    refs.insert(refs.begin() + refs.size() / 2, flatRefs.begin(), flatRefs.end());
    size_t hits = 0;
    answerAsTheWholeList(refs, rays, 0, hits);
    EXPECT_GT(hits, rays.size() / 5);
    const Scene alone(listOf(flatRefs), 0);
    TraceContext context;
    QueryHit hit;
    EXPECT_FALSE(intersectNearest(context, alone.query, across, hit));
    EXPECT_FALSE(intersectAny(context, alone.query, across));
}

// A hit carries its record's material, as the whole list gives it: where
// every triangle shares one (kept by the hierarchy), where one of them, the
// first, a middle or the last, has its own (read from the record), with the
// records in their memory order or not, beside a nested tree of another.
TEST(Queries, HitsCarryTheirRecordsMaterial) {
    std::mt19937 random(31);
    std::vector<Triangle> triangles = closedCube(4, 1.0f);
    std::vector<Sphere> inner{{{0, 0, 0}, 2.0f, {1, 0, 0, 5}}};
    std::vector<PrimitiveRef> innerRefs{ref(inner[0])};
    const Tree nested = buildTree(innerRefs, 1);
    const std::vector<size_t> odd{0, triangles.size() / 2, triangles.size() - 1};
    std::vector<QueryRay> rays;
    const auto centre = [&](size_t i) {
        return (triangles[i].V0 + triangles[i].V1 + triangles[i].V2) * (1.0f / 3.0f);
    };
    const auto anywhere = [&](float reach) {
        return Vector3{randomFloat(random, -reach, reach), randomFloat(random, -reach, reach),
                       randomFloat(random, -reach, reach)};
    };
    for (int i = 0; i < casesToRun(400); ++i) {
        // Towards a random point, or from straight out onto an odd triangle.
        const Vector3 target = i % 4 != 0 ? anywhere(4) : centre(odd[i % 3]);
        const Vector3 origin = i % 4 != 0 ? anywhere(9) : target * randomFloat(random, 1.5f, 3);
        rays.push_back({origin, randomDirection(random, target - origin), 0.0f, infinity});
    }
    addFans(random, rays);
    for (size_t own : {triangles.size(), odd[0], odd[1], odd[2]})
        for (bool reversed : {false, true}) {
            SCOPED_TRACE(testing::Message() << "own material " << own << ", reversed " << reversed);
            for (size_t i = 0; i < triangles.size(); ++i)
                triangles[i].material =
                    i == own ? Material{1, 0, 0, 0} : Material{0.5f, 0.5f, 0.5f, 2};
            std::vector<PrimitiveRef> refs = refsOf(triangles);
            if (reversed)
                std::reverse(refs.begin(), refs.end());
            refs.insert(refs.begin() + 100, {nested.get(), PrimitiveType::NestedTree});
            size_t hits = 0;
            answerAsTheWholeList(refs, rays, 1, hits);
            EXPECT_GT(hits, rays.size() / 3);
        }
}

// A mesh 50,000 times its own size away from the coordinates' origin, where
// a distance's rounding follows the coordinates rather than the mesh: rays
// from around it at its corners and edges answer as the whole list does,
// under every kernel, nearest and occlusion alike.
TEST(Queries, TheHierarchyAnswersAsTheWholeListFarFromTheOrigin) {
    std::vector<Triangle> triangles = closedCube(4, 1.0f);
    const Vector3 away{40000, -30000, 20000};
    for (Triangle& t : triangles)
        for (Vector3* v : {&t.V0, &t.V1, &t.V2})
            *v = *v + away;
    std::vector<PrimitiveRef> refs = refsOf(triangles);
    std::mt19937 random(5);
    std::vector<QueryRay> rays;
    for (const Triangle& t : triangles) {
        const Vector3 origin =
            away + Vector3{randomFloat(random, -20, 20), randomFloat(random, -20, 20),
                           randomFloat(random, -20, 20)};
        rays.push_back(
            {origin, (random() % 2 ? t.V0 : (t.V0 + t.V1) * 0.5f) - origin, 0.0f, infinity});
    }
    size_t hits = 0;
    answerAsTheWholeList(refs, rays, 1, hits);
    EXPECT_GT(hits, rays.size() / 2);
}

// Rays from inside a closed mesh, straight at its corners, edges and faces
// (directions with zero components among them), all hit at t = 1, the
// direction being the way to the target, at a thousandth, one and a
// thousand times the size, under every kernel. From far outside, at up to
// a thousand times the size, where the boxes' slack grows with the
// distance, the same rays at the faces turned towards the origin enter
// there, at t = 1, and occlusion agrees; the cube's own edges are left out,
// which such a ray only grazes.
TEST(Queries, NoRayLeavesAClosedMeshThroughItsEdgesAtAnyScale) {
    const int n = 4;
    const struct {
        Vector3 at;
        bool inside;
    } froms[] = {{{0, 0, 0}, true},
                 {{0.5f, -0.25f, 1.125f}, true},
                 {{300, 200, 100}, false},
                 {{-3000, 50, -700}, false}};
    // Inside one face (on none of the cube's edges) turned towards from.
    const auto entersThere = [](const Vector3& target, float half, const Vector3& from) {
        int faces = 0;
        bool towards = false;
        for (int k = 0; k < 3; ++k)
            if (std::fabs(component(target, k)) == half) {
                ++faces;
                towards = component(target, k) * component(from, k) > half * half;
            }
        return faces == 1 && towards;
    };
    const KernelGuard restore;
    for (const Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        SCOPED_TRACE(kernelName(kernel));
        for (float scale : {0.001f, 1.0f, 1000.0f}) {
            std::vector<Triangle> triangles = closedCube(n, scale);
            std::vector<PrimitiveRef> refs = refsOf(triangles);
            const Scene scene(listOf(refs), 1);
            TraceContext context;
            int rays = 0;
            WorkerPool pool(1);
            for (const auto& from : froms) {
                const Vector3 origin = from.at * scale;
                // The same rays in a batch too, whose rays from one point
                // may walk together: from inside, each is occluded.
                std::vector<QueryRay> fan;
                for (const Triangle& t : triangles)
                    for (const Vector3& target :
                         {t.V0, (t.V0 + t.V1) * 0.5f, (t.V0 + t.V2) * 0.5f}) {
                        if (!from.inside && !entersThere(target, n * scale, origin))
                            continue;
                        const QueryRay ray{origin, target - origin, 0.0f, infinity};
                        QueryHit hit;
                        ASSERT_TRUE(intersectNearest(context, scene.query, ray, hit))
                            << "scale " << scale << " from " << origin.x << " towards " << target.x
                            << " " << target.y << " " << target.z;
                        ASSERT_NEAR(hit.t, 1.0f, 1e-5f);
                        ASSERT_TRUE(intersectAny(context, scene.query,
                                                 {origin, ray.direction, 0.0f, 1.0f + 1e-5f}));
                        fan.push_back(ray);
                        ++rays;
                    }
                if (from.inside) {
                    std::vector<char> occluded(fan.size());
                    intersectAny(pool, scene.query, fan.data(),
                                 reinterpret_cast<bool*>(occluded.data()), fan.size());
                    EXPECT_EQ(std::count(occluded.begin(), occluded.end(), 0), 0);
                }
            }
            // Inside, every target; outside, more than a third of them, each
            // origin facing three of the six faces.
            EXPECT_GT(rays, (2 * 3 + 2) * static_cast<int>(triangles.size()));
        }
    }
}

// Distances count in lengths of the direction, for spheres and triangles;
// the segment's ends hold; a zero direction meets nothing.
TEST(Queries, SegmentsAndDirectionsOfAnyLength) {
    std::vector<Sphere> spheres{{{0, 0, 10}, 1, {1, 0, 0, 0}}};
    std::vector<Triangle> triangles{{{-1, -1, 20}, {3, -1, 20}, {-1, 3, 20}, {0, 1, 0, 0}}};
    std::vector<PrimitiveRef> refs;
    referenceAll(spheres, triangles, refs);
    const Scene scene(listOf(refs), 0);
    TraceContext context;
    const auto nearest = [&](Vector3 o, Vector3 d, float tnear, float tfar) {
        QueryHit hit;
        intersectNearest(context, scene.query, {o, d, tnear, tfar}, hit);
        return hit;
    };
    EXPECT_EQ(nearest({0, 0, 0}, {0, 0, 2}, 0, infinity).t, 4.5f);
    EXPECT_EQ(nearest({0, 0, 0}, {0, 0, 0.5f}, 0, infinity).t, 18.0f);
    EXPECT_EQ(nearest({0, 0, 0}, {0, 0, 2}, 0, 4.0f).primitive, noPrimitive);
    const QueryHit inside = nearest({0, 0, 0}, {0, 0, 2}, 5.0f, infinity);
    EXPECT_EQ(inside.t, 5.5f); // the far side, seen from inside
    EXPECT_EQ(inside.normal.z, 1.0f);
    const QueryHit past = nearest({0, 0, 0}, {0, 0, 4}, 3.0f, infinity);
    EXPECT_EQ(past.primitive, 1u);
    EXPECT_EQ(past.t, 5.0f);
    const QueryHit corner = nearest({1, -0.5f, 0}, {0, 0, 1}, 0, infinity);
    EXPECT_EQ(corner.primitive, 1u);
    EXPECT_FLOAT_EQ(corner.u, 0.5f);
    EXPECT_FLOAT_EQ(corner.v, 0.125f);
    EXPECT_EQ(corner.normal.z, 1.0f);
    EXPECT_EQ(corner.object, &triangles[0]);
    EXPECT_EQ(nearest({0, 0, 0}, {0, 0, 0}, 0, infinity).primitive, noPrimitive);
    EXPECT_FALSE(intersectAny(context, scene.query, {{0, 0, 0}, {0, 0, 0}, 0, infinity}));
}

// Rays from far away (10,000 times a triangle's size) at small triangles,
// at any scale: the hit's weights are those of the point where the ray's
// line meets the triangle's plane, within a float's rounding. Weights taken
// from the sheared corners lose digits in proportion to that distance.
TEST(Queries, WeightsAreExactForRaysFromAfar) {
    using Long = long double;
    struct Exact {
        Long x, y, z;
        Exact operator-(const Exact& o) const { return {x - o.x, y - o.y, z - o.z}; }
        Exact operator+(const Exact& o) const { return {x + o.x, y + o.y, z + o.z}; }
        Exact operator*(Long s) const { return {x * s, y * s, z * s}; }
        Long dot(const Exact& o) const { return x * o.x + y * o.y + z * o.z; }
        Exact cross(const Exact& o) const {
            return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
        }
    };
    const auto exact = [](const Vector3& v) { return Exact{v.x, v.y, v.z}; };
    std::mt19937 random(23);
    for (float scale : {0.001f, 1.0f, 1000.0f}) {
        std::vector<Triangle> triangles(60);
        for (Triangle& t : triangles) {
            const float size = randomFloat(random, 0.01f, 0.1f) * scale;
            t.V0 = {randomFloat(random, -1, 1) * scale, randomFloat(random, -1, 1) * scale,
                    randomFloat(random, -1, 1) * scale};
            t.V1 = t.V0 + Vector3{size, randomFloat(random, -1, 1) * size, 0};
            t.V2 = t.V0 + Vector3{0, size, randomFloat(random, -1, 1) * size};
            t.material = {1, 1, 1, 0};
        }
        std::vector<PrimitiveRef> refs = refsOf(triangles);
        const Scene scene(listOf(refs), 1);
        TraceContext context;
        size_t hits = 0, outside = 0;
        Long worst = 0;
        for (uint32_t i = 0; i < 3000; ++i) {
            const Triangle& t = triangles[i % triangles.size()];
            const float a = randomFloat(random, 0.0f, 1.0f);
            const float b = randomFloat(random, 0.0f, 1.0f - a);
            const Vector3 target = t.V0 + (t.V1 - t.V0) * a + (t.V2 - t.V0) * b;
            const Vector3 away{randomFloat(random, -1, 1), randomFloat(random, -1, 1),
                               randomFloat(random, -1, 1)};
            const Vector3 origin = target + away * (100.0f * scale / std::sqrt(dot(away, away)));
            const QueryRay ray{origin, target - origin, 0.0f, infinity};
            QueryHit hit;
            if (!intersectNearest(context, scene.query, ray, hit))
                continue; // a grazing ray that the aim's rounding takes past
            ++hits;
            // The hit's triangle, its plane met, and the point's areas over
            // the triangle's: another way to the weights than the library's.
            const Triangle& h = *static_cast<const Triangle*>(hit.object);
            const Exact v0 = exact(h.V0), e1 = exact(h.V1) - v0, e2 = exact(h.V2) - v0;
            const Exact n = e1.cross(e2), o = exact(ray.origin), d = exact(ray.direction);
            const Exact p = o + d * (n.dot(v0 - o) / n.dot(d)) - v0;
            const Long u = p.cross(e2).dot(n) / n.dot(n), v = e1.cross(p).dot(n) / n.dot(n);
            // A ray along the plane meets it where the float test's answer
            // says little; those are brought inside, which this leaves be.
            if (u < -1e-6L || v < -1e-6L || u + v > 1 + 1e-6L) {
                ++outside;
                continue;
            }
            worst = std::max({worst, std::fabs(u - hit.u), std::fabs(v - hit.v)});
        }
        EXPECT_GT(hits, 2900u) << "scale " << scale;
        EXPECT_LT(outside, 30u) << "scale " << scale;
        EXPECT_LT(worst, 2e-7L) << "scale " << scale;
    }
}

// Spheres against their exact roots in long double, for directions of any
// length (distances in lengths of the direction) and origins inside some of
// them: the same sphere wherever the nearest two roots are not within
// rounding of each other, and its distance within 1e-4 of it.
TEST(Queries, SpheresMeetTheExactRootAtAnyDirectionLength) {
    using Long = long double;
    std::mt19937 random(31);
    std::vector<Sphere> spheres(80);
    for (Sphere& s : spheres)
        s = {{randomFloat(random, -8, 8), randomFloat(random, -8, 8), randomFloat(random, -8, 8)},
             randomFloat(random, 0.1f, 2.0f),
             {1, 1, 1, 0}};
    std::vector<Triangle> none;
    std::vector<PrimitiveRef> refs;
    referenceAll(spheres, none, refs);
    const Scene scene(listOf(refs), 2);
    TraceContext context;
    size_t compared = 0;
    for (int i = 0; i < 4000; ++i) {
        const Vector3 origin{randomFloat(random, -10, 10), randomFloat(random, -10, 10),
                             randomFloat(random, -10, 10)};
        const Vector3 d =
            randomDirection(random, Vector3{randomFloat(random, -6, 6), randomFloat(random, -6, 6),
                                            randomFloat(random, -6, 6)} -
                                        origin);
        Long best = INFINITY, second = INFINITY;
        uint32_t nearest = noPrimitive;
        for (uint32_t k = 0; k < spheres.size(); ++k) {
            const Sphere& s = spheres[k];
            const Long f[3] = {Long(origin.x) - s.centre.x, Long(origin.y) - s.centre.y,
                               Long(origin.z) - s.centre.z};
            const Long a = Long(d.x) * d.x + Long(d.y) * d.y + Long(d.z) * d.z;
            const Long b = f[0] * d.x + f[1] * d.y + f[2] * d.z;
            const Long disc =
                b * b - a * (f[0] * f[0] + f[1] * f[1] + f[2] * f[2] - Long(s.radius) * s.radius);
            const Long root = disc < 0 ? -1 : (-b - std::sqrt(disc)) / a;
            const Long t = root >= 0 || disc < 0 ? root : (-b + std::sqrt(disc)) / a;
            if (!(t >= 0)) // behind, missed, or a zero direction
                continue;
            second = std::min(second, std::max(best, t));
            nearest = t < best ? k : nearest;
            best = std::min(best, t);
        }
        QueryHit hit;
        const bool found = intersectNearest(context, scene.query, {origin, d, 0.0f, infinity}, hit);
        if (nearest == noPrimitive || second - best < 1e-4L * best || best < 1e-4L)
            continue; // nothing, or a near tie, or a root at the origin
        ++compared;
        ASSERT_TRUE(found) << "ray " << i;
        ASSERT_EQ(hit.primitive, nearest) << "ray " << i;
        ASSERT_NEAR(hit.t, double(best), 1e-4 * double(best)) << "ray " << i;
    }
    EXPECT_GT(compared, 1000u);
}
