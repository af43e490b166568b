// A scene of several geometries against the same questions answered by
// brute force in double precision over every shape where the scene places
// it: nearest hits, counts along segments, closest points and inside or
// outside, at scales from 0.001 to 1000, under every kernel and from a
// pool's threads; a mesh alone, which skips the geometries' box test, the
// same way; a refitted mesh against one built anew; and what the scene
// refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <vector>

#include "test_support.h"
#include "vantrel/tracer/geometry_query.h"
#include "vantrel/tracer/geometry_scene.h"
#include "vantrel/tracer/point_query.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/worker_pool.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

using D3 = std::array<double, 3>;

D3 sub(const D3& a, const D3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
double dot3(const D3& a, const D3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
D3 cross3(const D3& a, const D3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
D3 along(const D3& a, const D3& d, double t) {
    return {a[0] + d[0] * t, a[1] + d[1] * t, a[2] + d[2] * t};
}

struct Mesh {
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
};

// A closed, lumpy ball: an octahedron's faces split level times, pushed
// out to a bumpy radius about 1.
Mesh lumpyBall(int level) {
    Mesh mesh;
    std::vector<D3> points{{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};
    std::vector<std::array<uint32_t, 3>> faces{{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4},
                                               {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
    for (int k = 0; k < level; ++k) {
        std::map<std::pair<uint32_t, uint32_t>, uint32_t> middles;
        const auto middle = [&](uint32_t a, uint32_t b) {
            const auto key = std::minmax(a, b);
            const auto found = middles.find(key);
            if (found != middles.end())
                return found->second;
            points.push_back(along(points[a], sub(points[b], points[a]), 0.5));
            return middles[key] = static_cast<uint32_t>(points.size() - 1);
        };
        std::vector<std::array<uint32_t, 3>> split;
        for (const auto& f : faces) {
            const uint32_t ab = middle(f[0], f[1]), bc = middle(f[1], f[2]),
                           ca = middle(f[2], f[0]);
            split.insert(split.end(),
                         {{f[0], ab, ca}, {ab, f[1], bc}, {ca, bc, f[2]}, {ab, bc, ca}});
        }
        faces = split;
    }
    for (const D3& p : points) {
        const double length = std::sqrt(dot3(p, p));
        const double radius =
            1.0 + 0.08 * std::sin(5 * p[0] / length) * std::cos(3 * p[1] / length);
        for (int k = 0; k < 3; ++k)
            mesh.vertices.push_back(static_cast<float>(p[k] / length * radius));
    }
    for (const auto& f : faces)
        mesh.indices.insert(mesh.indices.end(), f.begin(), f.end());
    return mesh;
}

// An open, wavy sheet of side by side cells below the ball.
Mesh wavySheet(uint32_t side) {
    Mesh mesh;
    for (uint32_t j = 0; j <= side; ++j)
        for (uint32_t i = 0; i <= side; ++i) {
            const float x = -3.0f + 6.0f * static_cast<float>(i) / static_cast<float>(side);
            const float z = -3.0f + 6.0f * static_cast<float>(j) / static_cast<float>(side);
            mesh.vertices.insert(mesh.vertices.end(), {x, -2.0f + 0.3f * std::sin(x * z), z});
        }
    for (uint32_t j = 0; j < side; ++j)
        for (uint32_t i = 0; i < side; ++i) {
            const uint32_t a = j * (side + 1) + i;
            mesh.indices.insert(mesh.indices.end(),
                                {a, a + 1, a + side + 1, a + 1, a + side + 2, a + side + 1});
        }
    return mesh;
}

// Every shape where the scene puts it, in double precision: triangles by
// corners, spheres by centre and radius, each with its geometry and index.
struct Shape {
    bool sphere;
    D3 corner[3]; // a sphere's centre first
    double radius;
    uint32_t geometry;
    uint32_t primitive;
};

D3 mapped(const double* m, const D3& p) {
    return {m[0] * p[0] + m[1] * p[1] + m[2] * p[2] + m[3],
            m[4] * p[0] + m[5] * p[1] + m[6] * p[2] + m[7],
            m[8] * p[0] + m[9] * p[1] + m[10] * p[2] + m[11]};
}

// The scene of the tests at scale: the ball, the sheet, spheres, and
// instances of the ball (turned and shrunk; sheared and mirrored) and of
// the spheres (turned and grown).
struct TestScene {
    GeometryScene scene;
    std::vector<Shape> shapes;

    // ballAlone: the ball is the scene's one geometry.
    explicit TestScene(float scale, bool ballAlone = false) {
        std::mt19937 random(17);
        Mesh ball = lumpyBall(4);
        Mesh sheet = wavySheet(20);
        for (float& v : ball.vertices)
            v *= scale;
        for (float& v : sheet.vertices)
            v *= scale;
        std::vector<float> centres;
        std::vector<float> radii;
        for (int i = 0; i < 40; ++i) {
            centres.insert(centres.end(), {scale * randomFloat(random, -3.0f, 3.0f),
                                           scale * randomFloat(random, 1.5f, 3.0f),
                                           scale * randomFloat(random, -3.0f, 3.0f)});
            radii.push_back(scale * randomFloat(random, 0.1f, 0.4f));
        }
        EXPECT_EQ(addTriangles(scene, ball.vertices.data(), uint32_t(ball.vertices.size() / 3),
                               ball.indices.data(), uint32_t(ball.indices.size() / 3)),
                  0u);
        const double identity[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
        addShapes(0, identity);
        if (ballAlone) {
            EXPECT_EQ(buildGeometryScene(scene), BuildResult::Built);
            return;
        }
        EXPECT_EQ(addTriangles(scene, sheet.vertices.data(), uint32_t(sheet.vertices.size() / 3),
                               sheet.indices.data(), uint32_t(sheet.indices.size() / 3)),
                  1u);
        EXPECT_EQ(addSpheres(scene, centres.data(), radii.data(), uint32_t(radii.size())), 2u);
        const double c = std::cos(0.7), s = std::sin(0.7);
        const double turned[12] = {0.5 * c,     0,        0.5 * s, 2.2 * scale, 0,           0.5, 0,
                                   0.3 * scale, -0.5 * s, 0,       0.5 * c,     -0.5 * scale};
        const double sheared[12] = {-0.6,        0.2, 0, -2.4 * scale, 0,          0.4, 0.1,
                                    0.2 * scale, 0.1, 0, 0.7,          0.4 * scale};
        const double grown[12] = {0, -1.2, 0, 0.5 * scale, 1.2, 0, 0, 0.8 * scale, 0, 0, 1.2, 0};
        EXPECT_EQ(addInstance(scene, 0, turned), 3u);
        EXPECT_EQ(addInstance(scene, 0, sheared), 4u);
        EXPECT_EQ(addInstance(scene, 2, grown), 5u);
        addShapes(1, identity);
        addShapes(2, identity);
        addShapes(3, turned);
        addShapes(4, sheared);
        addShapes(5, grown);
        EXPECT_EQ(buildGeometryScene(scene), BuildResult::Built);
    }
    ~TestScene() { releaseGeometryScene(scene); }

    void addShapes(uint32_t id, const double* m) {
        const Geometry& g = scene.geometries[id].kind == GeometryKind::Instance
                                ? scene.geometries[scene.geometries[id].of]
                                : scene.geometries[id];
        const auto vertex = [&](uint32_t k) {
            return mapped(m, {g.vertices[3 * k], g.vertices[3 * k + 1], g.vertices[3 * k + 2]});
        };
        if (g.kind == GeometryKind::Spheres) {
            const double stretch = std::cbrt(std::fabs(m[0] * (m[5] * m[10] - m[6] * m[9]) -
                                                       m[1] * (m[4] * m[10] - m[6] * m[8]) +
                                                       m[2] * (m[4] * m[9] - m[5] * m[8])));
            for (uint32_t i = 0; i < g.radii.size(); ++i)
                shapes.push_back({true, {vertex(i)}, g.radii[i] * stretch, id, i});
            return;
        }
        for (uint32_t i = 0; i < g.indices.size() / 3; ++i)
            shapes.push_back({false,
                              {vertex(g.indices[3 * i]), vertex(g.indices[3 * i + 1]),
                               vertex(g.indices[3 * i + 2])},
                              0.0,
                              id,
                              i});
    }
};

// A ray's hits on one shape in double precision: distances, and for a
// triangle how near the hit is to an edge (its least weight).
int hitsOf(const Shape& shape, const D3& o, const D3& d, double t[2], double& edge) {
    if (shape.sphere) {
        const D3 f = sub(o, shape.corner[0]);
        const double a = dot3(d, d), b = dot3(f, d), c = dot3(f, f) - shape.radius * shape.radius;
        const double disc = b * b - a * c;
        if (disc < 0)
            return 0;
        t[0] = (-b - std::sqrt(disc)) / a;
        t[1] = (-b + std::sqrt(disc)) / a;
        edge = disc / (b * b + std::fabs(a * c) + 1e-300);
        return 2;
    }
    const D3 e1 = sub(shape.corner[1], shape.corner[0]), e2 = sub(shape.corner[2], shape.corner[0]);
    const D3 p = cross3(d, e2);
    const double det = dot3(e1, p);
    if (det == 0)
        return 0;
    const D3 s = sub(o, shape.corner[0]);
    const double u = dot3(s, p) / det;
    const D3 q = cross3(s, e1);
    const double v = dot3(d, q) / det;
    t[0] = dot3(e2, q) / det;
    edge = std::min({u, v, 1 - u - v});
    return edge >= 0 ? 1 : 0;
}

struct Expected {
    double t = std::numeric_limits<double>::infinity();
    double second = std::numeric_limits<double>::infinity(); // the next shape's
    const Shape* shape = nullptr;
    uint32_t count = 0;
    bool clear = true; // no hit near an edge or an end of the segment
};

Expected bruteForce(const std::vector<Shape>& shapes, const QueryRay& ray) {
    const D3 o{ray.origin.x, ray.origin.y, ray.origin.z};
    const D3 d{ray.direction.x, ray.direction.y, ray.direction.z};
    Expected e;
    for (const Shape& shape : shapes) {
        double t[2];
        double edge = 1;
        const int n = hitsOf(shape, o, d, t, edge);
        double nearest = std::numeric_limits<double>::infinity();
        for (int k = 0; k < n; ++k) {
            if (std::fabs(edge) < 1e-5 ||
                std::fabs(t[k] - ray.tnear) < 1e-5 * (1 + std::fabs(t[k])))
                e.clear = false;
            if (t[k] >= ray.tnear && t[k] <= ray.tfar) {
                ++e.count;
                nearest = std::min(nearest, t[k]);
            }
        }
        if (nearest < e.t) {
            e.second = e.t;
            e.t = nearest;
            e.shape = &shape;
        } else {
            e.second = std::min(e.second, nearest);
        }
    }
    return e;
}

// The closest point of a triangle in double precision, independently of
// the scene's: the plane's foot where it falls inside, else the nearest
// point of the three sides.
double distanceToShape(const Shape& shape, const D3& p) {
    if (shape.sphere)
        return std::fabs(std::sqrt(dot3(sub(p, shape.corner[0]), sub(p, shape.corner[0]))) -
                         shape.radius);
    const D3& a = shape.corner[0];
    const D3 n = cross3(sub(shape.corner[1], a), sub(shape.corner[2], a));
    const double height = dot3(sub(p, a), n) / dot3(n, n);
    const D3 foot = along(p, n, -height);
    bool inside = true;
    for (int k = 0; k < 3; ++k) {
        const D3& from = shape.corner[k];
        const D3& to = shape.corner[(k + 1) % 3];
        inside = inside && dot3(cross3(sub(to, from), sub(foot, from)), n) >= 0;
    }
    if (inside)
        return std::sqrt(dot3(sub(p, foot), sub(p, foot)));
    double least = std::numeric_limits<double>::infinity();
    for (int k = 0; k < 3; ++k) {
        const D3& from = shape.corner[k];
        const D3 side = sub(shape.corner[(k + 1) % 3], from);
        const double w = std::clamp(dot3(sub(p, from), side) / dot3(side, side), 0.0, 1.0);
        const D3 on = along(from, side, w);
        least = std::min(least, std::sqrt(dot3(sub(p, on), sub(p, on))));
    }
    return least;
}

QueryRay randomRay(std::mt19937& random, float scale) {
    const Vector3 origin{scale * randomFloat(random, -5, 5), scale * randomFloat(random, -4, 5),
                         scale * randomFloat(random, -5, 5)};
    const Vector3 target{scale * randomFloat(random, -3, 3), scale * randomFloat(random, -2.5f, 3),
                         scale * randomFloat(random, -3, 3)};
    // Of any length: distances count in it.
    const float length = randomFloat(random, 0.2f, 3.0f);
    return {origin, (target - origin) * length, 0.0f, infinity};
}

// The i-th of a test's rays: some segments end short of the far side or
// start past the near; some directions are long, so that the sphere test
// would take their squared length past the largest float; some run along
// the axes' planes, their reciprocals infinite (a zero's sign included).
QueryRay variedRay(std::mt19937& random, float scale, int i) {
    QueryRay ray = randomRay(random, scale);
    if (i % 3 == 1)
        ray.tfar = randomFloat(random, 0.1f, 1.0f);
    if (i % 3 == 2)
        ray.tnear = randomFloat(random, 0.1f, 0.5f);
    if (i % 7 == 6)
        ray = {ray.origin, ray.direction * 0x1p40f, ray.tnear * 0x1p-40f, ray.tfar * 0x1p-40f};
    if (i % 11 == 10)
        ray.direction.x = 0.0f;
    if (i % 22 == 21)
        ray.direction.z = -0.0f;
    return ray;
}

class AtScale : public ::testing::TestWithParam<float> {};

TEST_P(AtScale, RaysFindWhatBruteForceFindsUnderEveryKernel) {
    const float scale = GetParam();
    TestScene test(scale);
    std::mt19937 random(5);
    std::vector<QueryRay> rays;
    for (int i = 0; i < 3000; ++i)
        rays.push_back(variedRay(random, scale, i));
    const KernelGuard restore;
    TraceContext context;
    for (const Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        SCOPED_TRACE(kernelName(kernel));
        size_t checked = 0;
        size_t hitsChecked = 0;
        for (size_t i = 0; i < rays.size(); ++i) {
            const Expected e = bruteForce(test.shapes, rays[i]);
            GeometryHit hit;
            const bool found = intersectNearest(context, test.scene, rays[i], hit);
            if (!e.clear || (e.shape && e.second - e.t < 1e-4 * e.t))
                continue;
            ++checked;
            ASSERT_EQ(found, e.shape != nullptr) << i;
            ASSERT_EQ(intersectAny(context, test.scene, rays[i]), found) << i;
            ASSERT_EQ(countIntersections(context, test.scene, rays[i]), e.count) << i;
            std::vector<SegmentHit> list;
            listIntersections(context, test.scene, rays[i], list);
            ASSERT_EQ(list.size(), e.count) << i;
            if (!found)
                continue;
            ++hitsChecked;
            EXPECT_EQ(hit.geometry, e.shape->geometry) << i;
            EXPECT_EQ(hit.primitive, e.shape->primitive) << i;
            EXPECT_NEAR(hit.t, e.t, 1e-5 * e.t) << i;
            EXPECT_EQ(list[0].geometry, hit.geometry);
            EXPECT_EQ(list[0].primitive, hit.primitive);
            EXPECT_TRUE(
                std::is_sorted(list.begin(), list.end(),
                               [](const SegmentHit& a, const SegmentHit& b) { return a.t < b.t; }));
            // The normal is the shape's where the scene puts it.
            const Shape& s = *e.shape;
            D3 n;
            if (s.sphere) {
                const D3 at =
                    along({rays[i].origin.x, rays[i].origin.y, rays[i].origin.z},
                          {rays[i].direction.x, rays[i].direction.y, rays[i].direction.z}, e.t);
                n = sub(at, s.corner[0]);
            } else {
                n = cross3(sub(s.corner[1], s.corner[0]), sub(s.corner[2], s.corner[0]));
            }
            const double length = std::sqrt(dot3(n, n));
            EXPECT_NEAR(hit.normal.x, n[0] / length, 1e-4) << i;
            EXPECT_NEAR(hit.normal.y, n[1] / length, 1e-4) << i;
            EXPECT_NEAR(hit.normal.z, n[2] / length, 1e-4) << i;
        }
        // Most rays are clear of edges and ties, and many hit.
        EXPECT_GT(checked, rays.size() * 7 / 8);
        EXPECT_GT(hitsChecked, rays.size() / 3);
    }
}

// A mesh alone is walked at once, without the box test that picks which of
// several geometries a ray meets: it still finds what brute force finds.
TEST_P(AtScale, AMeshAloneFindsWhatBruteForceFinds) {
    const float scale = GetParam();
    TestScene test(scale, true);
    ASSERT_EQ(test.scene.geometries.size(), 1u);
    std::mt19937 random(9);
    TraceContext context;
    size_t checked = 0;
    size_t hitsChecked = 0;
    for (int i = 0; i < 2000; ++i) {
        const QueryRay ray = variedRay(random, scale, i);
        const Expected e = bruteForce(test.shapes, ray);
        if (!e.clear || (e.shape && e.second - e.t < 1e-4 * e.t))
            continue;
        ++checked;
        GeometryHit hit;
        ASSERT_EQ(intersectNearest(context, test.scene, ray, hit), e.shape != nullptr) << i;
        ASSERT_EQ(intersectAny(context, test.scene, ray), e.shape != nullptr) << i;
        ASSERT_EQ(countIntersections(context, test.scene, ray), e.count) << i;
        if (!e.shape)
            continue;
        ++hitsChecked;
        EXPECT_EQ(hit.geometry, 0u) << i;
        EXPECT_EQ(hit.primitive, e.shape->primitive) << i;
        EXPECT_NEAR(hit.t, e.t, 1e-5 * e.t) << i;
    }
    EXPECT_GT(checked, 2000u * 7 / 8);
    EXPECT_GT(hitsChecked, 2000u / 20);
}

TEST_P(AtScale, ClosestPointsAndInsideAreWhatBruteForceFinds) {
    const float scale = GetParam();
    TestScene test(scale);
    std::mt19937 random(9);
    TraceContext context;
    int inside = 0;
    for (int i = 0; i < 400; ++i) {
        // Half about the ball, which holds many of them.
        const float reach = i % 2 == 0 ? 1.2f : 4.0f;
        const Vector3 p{scale * randomFloat(random, -reach, reach),
                        scale * randomFloat(random, -reach, reach),
                        scale * randomFloat(random, -reach, reach)};
        const D3 q{p.x, p.y, p.z};
        double best = std::numeric_limits<double>::infinity();
        double second = best;
        const Shape* nearest = nullptr;
        for (const Shape& shape : test.shapes) {
            const double d = distanceToShape(shape, q);
            if (d < best) {
                second = best;
                best = d;
                nearest = &shape;
            } else {
                second = std::min(second, d);
            }
        }
        ClosestPoint closest;
        ASSERT_TRUE(closestPoint(test.scene, p, infinity, closest));
        EXPECT_NEAR(closest.distance, best, 1e-5 * best) << i;
        const D3 apart = sub(q, {closest.point.x, closest.point.y, closest.point.z});
        EXPECT_NEAR(std::sqrt(dot3(apart, apart)), best, 1e-5 * best + 1e-6 * scale) << i;
        if (second - best > 1e-6 * best) {
            EXPECT_EQ(closest.geometry, nearest->geometry) << i;
            EXPECT_EQ(closest.primitive, nearest->primitive) << i;
        }
        // Within a radius short of it, nothing.
        ClosestPoint none;
        EXPECT_FALSE(closestPoint(test.scene, p, static_cast<float>(best * 0.99), none));
        EXPECT_EQ(none.geometry, noGeometry);

        // Inside by the parity of the brute force's crossings upward, away
        // from every surface: the surfaces are closed but for the sheet,
        // which a point above it sees only downward, as one of the three.
        if (best < 0.02 * scale || p.y < -1.5f * scale)
            continue;
        const QueryRay up{p, {0.3f, 0.9f, 0.3f}, 0.0f, infinity};
        const Expected e = bruteForce(test.shapes, up);
        if (!e.clear)
            continue;
        const bool expected = e.count % 2 == 1;
        EXPECT_EQ(isInside(context, test.scene, p), expected) << i;
        const float signedD = signedDistance(context, test.scene, p);
        EXPECT_NEAR(std::fabs(signedD), best, 1e-5 * best) << i;
        EXPECT_EQ(signedD < 0, expected) << i;
        inside += expected;
    }
    EXPECT_GT(inside, 50);
}

INSTANTIATE_TEST_SUITE_P(Scales, AtScale, ::testing::Values(0.001f, 1.0f, 1000.0f));

TEST(GeometryScene, APoolAndEveryKernelAnswerAsOneThreadDoes) {
    TestScene test(1.0f);
    std::mt19937 random(3);
    std::vector<QueryRay> rays;
    std::vector<Vector3> points;
    for (int i = 0; i < 2000; ++i) {
        rays.push_back(randomRay(random, 1.0f));
        points.push_back(rays.back().origin);
    }
    // Rays from one point, as a camera's: walked together where a scene
    // has one geometry.
    for (int i = 0; i < 500; ++i)
        rays.push_back({rays[0].origin, randomRay(random, 1.0f).direction, 0.0f, infinity});
    GeometryScene alone;
    const Geometry& ball = test.scene.geometries[0];
    addTriangles(alone, ball.vertices.data(), uint32_t(ball.vertices.size() / 3),
                 ball.indices.data(), uint32_t(ball.indices.size() / 3));
    ASSERT_EQ(buildGeometryScene(alone), BuildResult::Built);
    WorkerPool pool(2);
    TraceContext context;
    for (const GeometryScene* scene : {&test.scene, &alone}) {
        std::vector<GeometryHit> hits(rays.size());
        std::vector<uint32_t> counts(rays.size());
        std::unique_ptr<bool[]> occluded(new bool[rays.size()]);
        intersectNearest(pool, *scene, rays.data(), hits.data(), rays.size());
        intersectAny(pool, *scene, rays.data(), occluded.get(), rays.size());
        countIntersections(pool, *scene, rays.data(), counts.data(), rays.size());
        for (size_t i = 0; i < rays.size(); ++i) {
            GeometryHit hit;
            intersectNearest(context, *scene, rays[i], hit);
            ASSERT_EQ(std::memcmp(&hit, &hits[i], sizeof hit), 0) << i;
            ASSERT_EQ(occluded[i], intersectAny(context, *scene, rays[i])) << i;
            ASSERT_EQ(counts[i], countIntersections(context, *scene, rays[i])) << i;
        }
        std::vector<ClosestPoint> closest(points.size());
        std::vector<float> distances(points.size());
        std::unique_ptr<bool[]> inside(new bool[points.size()]);
        closestPoints(pool, *scene, points.data(), infinity, closest.data(), points.size());
        signedDistances(pool, *scene, points.data(), distances.data(), points.size());
        isInside(pool, *scene, points.data(), inside.get(), points.size());
        // Every kernel measures boxes in its own lanes, to the same answer.
        const KernelGuard restore;
        for (size_t i = 0; i < points.size(); ++i) {
            ClosestPoint one;
            for (const Kernel kernel : availableKernels()) {
                ASSERT_TRUE(selectKernel(kernel));
                closestPoint(*scene, points[i], infinity, one);
                ASSERT_EQ(std::memcmp(&one, &closest[i], sizeof one), 0) << i << kernelName(kernel);
            }
            ASSERT_EQ(inside[i], isInside(context, *scene, points[i])) << i;
            ASSERT_EQ(distances[i], inside[i] ? -one.distance : one.distance) << i;
        }
    }
    releaseGeometryScene(alone);
}

// A segment through a stack of sheets meets every box of the hierarchy: each
// sheet it crosses is counted and listed once, in order, under every kernel.
TEST(GeometryScene, ASegmentThroughAStackOfSheetsMeetsEachOnce) {
    constexpr uint32_t sheets = 6000;
    constexpr uint32_t first = 1234; // the segment starts just before it
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    for (uint32_t i = 0; i < sheets; ++i) {
        const float z = 0.01f * float(i);
        vertices.insert(vertices.end(), {-10.0f, -10.0f, z, 10.0f, -10.0f, z, 0.0f, 10.0f, z});
        indices.insert(indices.end(), {3 * i, 3 * i + 1, 3 * i + 2});
    }
    GeometryScene scene;
    addTriangles(scene, vertices.data(), 3 * sheets, indices.data(), sheets);
    ASSERT_EQ(buildGeometryScene(scene), BuildResult::Built);
    // Slanted, yet inside each sheet it crosses.
    const QueryRay ray{
        {0.5f, -0.5f, -1.0f}, {0.02f, -0.01f, 1.0f}, 0.995f + 0.01f * first, infinity};
    const KernelGuard restore;
    TraceContext context;
    for (const Kernel kernel : availableKernels()) {
        ASSERT_TRUE(selectKernel(kernel));
        ASSERT_EQ(countIntersections(context, scene, ray), sheets - first);
        std::vector<SegmentHit> list;
        listIntersections(context, scene, ray, list);
        ASSERT_EQ(list.size(), sheets - first);
        for (uint32_t k = 0; k < list.size(); ++k)
            ASSERT_EQ(list[k].primitive, first + k);
    }
    releaseGeometryScene(scene);
}

// Moved vertices, refitted: every answer is that of a scene built anew
// over them, and the cost shows when the tree no longer suits them.
TEST(GeometryScene, ARefittedMeshAnswersAsOneBuiltAnew) {
    Mesh sheet = wavySheet(40);
    const uint32_t vertexCount = uint32_t(sheet.vertices.size() / 3);
    const uint32_t triangleCount = uint32_t(sheet.indices.size() / 3);
    GeometryScene moving;
    addTriangles(moving, sheet.vertices.data(), vertexCount, sheet.indices.data(), triangleCount);
    const double turned[12] = {0, 0, 1, 0, 0, 1, 0, 1, -1, 0, 0, 0};
    addInstance(moving, 0, turned);
    ASSERT_EQ(buildGeometryScene(moving), BuildResult::Built);
    std::mt19937 random(11);
    TraceContext context;
    for (int step = 0; step < 3; ++step) {
        // A wave, then a wave more; last, the vertices shuffled.
        std::vector<float> moved = sheet.vertices;
        for (uint32_t v = 0; v < vertexCount; ++v)
            moved[3 * v + 1] +=
                (step + 1) * 0.4f * std::cos(moved[3 * v] + step * moved[3 * v + 2]);
        if (step == 2)
            for (uint32_t v = vertexCount - 1; v > 0; --v) {
                const uint32_t w = random() % (v + 1);
                for (int k = 0; k < 3; ++k)
                    std::swap(moved[3 * v + k], moved[3 * w + k]);
            }
        const VertexUpdate update = updateVertices(moving, 0, moved.data());
        ASSERT_TRUE(update.done && update.refitted);
        EXPECT_TRUE(moving.built);
        EXPECT_EQ(update.rebuildAdvised, step == 2) << update.costRatio;
        GeometryScene anew;
        addTriangles(anew, moved.data(), vertexCount, sheet.indices.data(), triangleCount);
        addInstance(anew, 0, turned);
        ASSERT_EQ(buildGeometryScene(anew), BuildResult::Built);
        for (int i = 0; i < 2000; ++i) {
            const QueryRay ray = randomRay(random, 1.0f);
            GeometryHit a;
            GeometryHit b;
            ASSERT_EQ(intersectNearest(context, moving, ray, a),
                      intersectNearest(context, anew, ray, b));
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << i;
            ASSERT_EQ(countIntersections(context, moving, ray),
                      countIntersections(context, anew, ray));
            ClosestPoint p;
            ClosestPoint q;
            closestPoint(moving, ray.origin, infinity, p);
            closestPoint(anew, ray.origin, infinity, q);
            ASSERT_EQ(std::memcmp(&p, &q, sizeof p), 0) << i;
        }
        releaseGeometryScene(anew);
    }
    // A vertex that is not finite takes triangles out: built again, not refitted.
    std::vector<float> broken = sheet.vertices;
    broken[4] = std::numeric_limits<float>::quiet_NaN();
    const VertexUpdate update = updateVertices(moving, 0, broken.data());
    EXPECT_TRUE(update.done && !update.refitted);
    EXPECT_FALSE(moving.built);
    EXPECT_EQ(buildGeometryScene(moving), BuildResult::Built);
    GeometryHit hit;
    EXPECT_TRUE(intersectNearest(context, moving,
                                 {{0.5f, 5.0f, 0.5f}, {0.0f, -1.0f, 0.0f}, 0.0f, infinity}, hit));
    releaseGeometryScene(moving);
}

TEST(GeometryScene, RefusesWhatItCannotPlaceAndKeepsWhatItHas) {
    GeometryScene scene;
    const float vertices[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    const uint32_t indices[3] = {0, 1, 2};
    const uint32_t past[3] = {0, 1, 3};
    EXPECT_EQ(addTriangles(scene, vertices, 3, past, 1), noGeometry);
    ASSERT_EQ(addTriangles(scene, vertices, 3, indices, 1), 0u);
    const float centre[3] = {0, 0, 5};
    const float radius[1] = {std::numeric_limits<float>::infinity()};
    EXPECT_EQ(addSpheres(scene, centre, radius, 1), noGeometry);
    const float one[1] = {1.0f};
    ASSERT_EQ(addSpheres(scene, centre, one, 1), 1u);
    const double flat[12] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const double nan[12] = {1, 0, 0, std::nan(""), 0, 1, 0, 0, 0, 0, 1, 0};
    const double stretched[12] = {2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0};
    EXPECT_EQ(addInstance(scene, 0, flat), noGeometry);
    EXPECT_EQ(addInstance(scene, 0, nan), noGeometry);
    EXPECT_EQ(addInstance(scene, 7, stretched), noGeometry);
    EXPECT_EQ(addInstance(scene, 1, stretched), noGeometry); // a sphere would not stay one
    ASSERT_EQ(addInstance(scene, 0, stretched), 2u);
    EXPECT_EQ(addInstance(scene, 2, stretched), noGeometry); // no instance of an instance
    EXPECT_FALSE(updateVertices(scene, 1, vertices).done);
    EXPECT_FALSE(updateVertices(scene, 2, vertices).done);
    ASSERT_EQ(scene.geometries.size(), 3u);
    ASSERT_EQ(buildGeometryScene(scene), BuildResult::Built);
    TraceContext context;
    GeometryHit hit;
    // The stretched instance doubles x: its corner (1, 0, 0) is at 2.
    EXPECT_TRUE(
        intersectNearest(context, scene, {{1.8f, 0.05f, -1.0f}, {0, 0, 1}, 0.0f, infinity}, hit));
    EXPECT_EQ(hit.geometry, 2u);
    EXPECT_EQ(hit.primitive, 0u);
    releaseGeometryScene(scene);
}

} // namespace
