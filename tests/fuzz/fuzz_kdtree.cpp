// Arbitrary sphere and triangle sets through the build driver (all three
// methods) and both walks. Every input must build a well-formed tree within
// the depth budget, or stop at the build's memory budget without having taken
// more; where the input is finite and of moderate size, every ray must find
// through the tree exactly the hit that a scan of the flat list finds; and
// the build must make exactly the tree of the reference builder.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "allocation_budget.h"
#include "fuzz_bytes.h"
#include "fuzz_check.h"
#include "tests/compiled_tree_diff.h"
#include "tests/support/reference_build.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/build_driver.h"
#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/geometry_query.h"
#include "vantrel/tracer/geometry_scene.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel.h"
#include "vantrel/tracer/packed_leaf.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/traverse.h"

namespace {

using namespace vantrel;

// Few distinct shapes keep builds quick; duplicates may still run into the
// thousands.
constexpr uint32_t maxDistinct = 24;
constexpr uint32_t maxTotal = 3000;
constexpr uint32_t maxDuplicates = 2000;
// Overlapping primitives are referenced from every cell they touch, so a few
// thousand of them would fill gigabytes: the build's own budget must stop
// them first. The allocator's limit above it only catches what it misses.
constexpr std::size_t buildBudgetBytes = std::size_t{16} << 20;
constexpr std::size_t allocationLimitBytes = std::size_t{64} << 20;

Sphere unusedObject{}; // target of entries with an unknown type code

struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    bool comparable = true; // every value finite and moderate
    int32_t method = 0;
    uint32_t rayCount = 0;
};

// Where the tree must agree with the flat list exactly: finite values far
// enough from overflow that squares and sums keep their meaning. Beyond that
// (1e30, the largest float) both answers are rounding noise and only crashes,
// hangs and bad accesses are looked for.
constexpr float moderateLimit = 1e4f;

bool moderate(float value) {
    return std::fabs(value) <= moderateLimit;
}

bool moderate(const Vector3& v) {
    return moderate(v.x) && moderate(v.y) && moderate(v.z);
}

// A radius near the rounding of the distances it is compared with makes every
// hit near it a coin toss: a sphere of radius 0, which no ray can meet, is
// still met by a scan of the list wherever rounding lifts its discriminant
// above 0, while the tree's walk passes by its box, a point.
bool moderateRadius(float radius) {
    return moderate(radius) && std::fabs(radius) >= 0.01f;
}

Vector3 decodeVector(FuzzBytes& bytes) {
    const float x = bytes.number();
    const float y = bytes.number();
    return {x, y, bytes.number()};
}

Material decodeMaterial(FuzzBytes& bytes) {
    const uint8_t shade = bytes.byte();
    return {(shade & 3) / 3.0f, ((shade >> 2) & 3) / 3.0f, ((shade >> 4) & 3) / 3.0f, 0.0f};
}

void addSphere(Scene& scene, const Sphere& sphere) {
    scene.spheres.push_back(sphere);
    scene.refs.push_back({&scene.spheres.back(), PrimitiveType::Sphere});
    scene.comparable = scene.comparable && moderate(sphere.centre) && moderateRadius(sphere.radius);
}

void addTriangle(Scene& scene, const Triangle& triangle) {
    scene.triangles.push_back(triangle);
    scene.refs.push_back({&scene.triangles.back(), PrimitiveType::Triangle});
    scene.comparable =
        scene.comparable && moderate(triangle.V0) && moderate(triangle.V1) && moderate(triangle.V2);
}

void decodeScene(FuzzBytes& bytes, Scene& scene) {
    // Reserved up front: references point into these arrays.
    scene.spheres.reserve(maxTotal);
    scene.triangles.reserve(maxTotal);
    scene.refs.reserve(maxTotal);
    scene.method = bytes.byte() % 3;
    scene.rayCount = 16 + bytes.byte() % 49;
    uint32_t distinct = 0;
    while (!bytes.empty() && distinct < maxDistinct && scene.refs.size() < maxTotal) {
        const uint8_t kindByte = bytes.byte();
        const uint8_t kind = kindByte % 8;
        if (kind <= 2) {
            Sphere sphere{};
            sphere.centre = decodeVector(bytes);
            sphere.radius = bytes.number();
            sphere.material = decodeMaterial(bytes);
            addSphere(scene, sphere);
            ++distinct;
        } else if (kind <= 4) {
            Triangle triangle{};
            triangle.V0 = decodeVector(bytes);
            triangle.V1 = decodeVector(bytes);
            triangle.V2 = decodeVector(bytes);
            triangle.material = decodeMaterial(bytes);
            addTriangle(scene, triangle);
            ++distinct;
        } else if (kind == 5) {
            // Degenerate: its corners on one line, or all in one point.
            Triangle triangle{};
            triangle.V0 = decodeVector(bytes);
            const Vector3 along = decodeVector(bytes);
            triangle.V1 = triangle.V0 + along * static_cast<float>(bytes.byte() % 3);
            triangle.V2 = triangle.V0 + along * static_cast<float>(bytes.byte() % 3);
            triangle.material = decodeMaterial(bytes);
            addTriangle(scene, triangle);
            ++distinct;
        } else if (kind == 6) {
            if (scene.refs.empty())
                continue;
            // Copies of the latest primitive, each its own object: all in one
            // place, or (bit 4 of the kind) each a step on from the one
            // before, overlapping wherever the step is small beside its size.
            const PrimitiveRef last = scene.refs.back();
            uint32_t copies = 1 + bytes.word() % maxDuplicates;
            if (copies > maxTotal - scene.refs.size())
                copies = static_cast<uint32_t>(maxTotal - scene.refs.size());
            const bool stepped = (kindByte & 16) != 0;
            const Vector3 step = stepped ? decodeVector(bytes) * (1.0f / 64.0f) : Vector3{};
            for (uint32_t i = 0; i < copies; ++i) {
                const Vector3 offset = step * static_cast<float>(i + 1);
                if (last.type == PrimitiveType::Sphere) {
                    Sphere copy = *static_cast<const Sphere*>(last.object);
                    if (stepped)
                        copy.centre = copy.centre + offset;
                    addSphere(scene, copy);
                } else if (last.type == PrimitiveType::Triangle) {
                    Triangle copy = *static_cast<const Triangle*>(last.object);
                    if (stepped) {
                        copy.V0 = copy.V0 + offset;
                        copy.V1 = copy.V1 + offset;
                        copy.V2 = copy.V2 + offset;
                    }
                    addTriangle(scene, copy);
                } else {
                    scene.refs.push_back(last);
                }
            }
        } else {
            // Carried by the build, skipped by everything that reads it.
            int32_t code = static_cast<int8_t>(bytes.byte());
            if (code >= 1 && code <= 3)
                code += 4;
            scene.refs.push_back({&unusedObject, static_cast<PrimitiveType>(code)});
        }
    }
}

template <typename T> bool inArray(const std::vector<T>& array, const void* object) {
    const T* p = static_cast<const T*>(object);
    return !array.empty() && p >= array.data() && p < array.data() + array.size();
}

bool isInputRef(const Scene& scene, const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere)
        return inArray(scene.spheres, ref.object);
    if (ref.type == PrimitiveType::Triangle)
        return inArray(scene.triangles, ref.object);
    return ref.object == &unusedObject && ref.type != PrimitiveType::NestedTree;
}

// The whole tree from the root: well-formed codes, leaf lists that agree
// with their empty bit and hold only input references, no path deeper than
// the budget. Indexes past the arrays show up as sanitizer reports.
void checkStructure(const KdTree& tree, const Scene& scene) {
    std::vector<bool> leafSeen;
    forEachNode(tree, [&](uint32_t index, const KdTreeNode& node, uint32_t depth) {
        if (isLeafNode(node)) {
            FUZZ_CHECK((node.code & 2) == 0); // the raw word, as the compiler writes it
            const uint32_t leaf = leafIndex(node);
            if (leaf >= leafSeen.size())
                leafSeen.resize(leaf + 1);
            FUZZ_CHECK(!leafSeen[leaf]); // every leaf is reached once
            leafSeen[leaf] = true;
            const PrimitiveList& list = tree.leaves[leaf];
            FUZZ_CHECK(isEmptyLeaf(node) == (list.count == 0));
            FUZZ_CHECK(list.items != nullptr);
            for (uint32_t i = 0; i < list.count; ++i)
                FUZZ_CHECK(isInputRef(scene, list.items[i]));
        } else {
            FUZZ_CHECK((node.code & kdAxisMask) <= 2);
            FUZZ_CHECK(depth < static_cast<uint32_t>(maxDepth));
            FUZZ_CHECK(lowerChild(node) > index); // children come after their parent
        }
    });
    for (bool seen : leafSeen)
        FUZZ_CHECK(seen); // leaves are numbered without gaps
}

// A 32-bit generator seeded from the input, so that a run replays exactly.
struct RayGenerator {
    uint32_t state;
    float unit() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f * 2.0f - 1.0f;
    }
    Vector3 direction() {
        Vector3 d{unit(), unit(), unit()};
        const float length = std::sqrt(dot(d, d));
        d = length > 0.01f ? d * (1.0f / length) : Vector3{0.6f, 0.48f, 0.64f};
        // As the renderer does: the walks need every component non-zero.
        float* parts[3] = {&d.x, &d.y, &d.z};
        for (float* part : parts)
            if (std::fabs(*part) < 0.001f)
                *part = *part < 0.0f ? -0.001f : 0.001f;
        return d;
    }
};

Vector3 anchorOf(const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere)
        return static_cast<const Sphere*>(ref.object)->centre;
    if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        return (t.V0 + t.V1 + t.V2) * (1.0f / 3.0f);
    }
    return {0.0f, 0.0f, 0.0f};
}

// The stretch the recursive walk is given: the tree's own clip.
bool clipToBox(const KdTree& tree, const Ray& ray, float& entry, float& exit) {
    const float inverse[3] = {1.0f / ray.direction.x, 1.0f / ray.direction.y,
                              1.0f / ray.direction.z};
    return clipToTreeBox(tree, ray, inverse, entry, exit);
}

bool sameDistance(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A hit that rounding hides from the walk, and rightly so: on an edge or a
// corner of the tree's box, where a ray grazes the box and its stretch inside
// comes out empty or inverted; where the ray enters or leaves the box, the
// walk keeping only hits within the stretch it clipped, rounded apart from
// the hit's own distance, and likewise at a split plane inside it (the far
// cell need not hold a triangle lying along the plane); or in a box thinner
// on some axis than the rounding of the distance, which the ray crosses the
// same way. Only a flat scan sees what lies there. (A box of no depth at
// all is walked.)
bool onSplitPlane(const KdTree& tree, const Ray& ray, float distance, float near) {
    const KdTreeNode* node = tree.nodes;
    while (!isLeafNode(*node)) {
        const auto axis = static_cast<int>(splitAxis(*node));
        const float o = component(ray.origin, axis);
        const float crossing = (node->split - o) * (1.0f / component(ray.direction, axis));
        if (std::fabs(distance - crossing) <= near)
            return true;
        const float p = o + distance * component(ray.direction, axis);
        node = tree.nodes + lowerChild(*node) + (p < node->split ? 0 : 1);
    }
    return false;
}

bool hiddenByRounding(const KdTree& tree, const Ray& ray, float distance) {
    float entry = 0.0f;
    float exit = 0.0f;
    const float near = 1e-5f * (std::fabs(distance) + 1.0f);
    if (clipToBox(tree, ray, entry, exit) &&
        (std::fabs(distance - entry) <= near || std::fabs(distance - exit) <= near ||
         onSplitPlane(tree, ray, distance, near)))
        return true;
    int faces = 0;
    bool thin = false;
    for (int k = 0; k < 3; ++k) {
        const float p = component(ray.origin, k) + distance * component(ray.direction, k);
        // The triangle test's weights carry the rounding of products of the
        // origin's and the vertices' coordinates, so a hit at a corner may
        // lie that far outside the box; the tolerance scales with them.
        const float tolerance = 1e-4f * (std::fabs(distance) + std::fabs(component(ray.origin, k)) +
                                         std::fabs(p) + 1.0f);
        faces += std::fabs(p - tree.boundsMin[k]) <= tolerance ||
                 std::fabs(p - tree.boundsMax[k]) <= tolerance;
        const float extent = tree.boundsMax[k] - tree.boundsMin[k];
        thin = thin || (extent > 0.0f && extent <= tolerance);
    }
    return faces >= 2 || thin;
}

// A packet of rays from the origin of ray, near it or anywhere: with every
// kernel, every lane must get exactly what its lone walk gets, whatever the
// scene.
void checkPacket(KdTree& tree, const Ray& ray, RayGenerator& random) {
    RayPacket packet;
    packet.origin = ray.origin;
    const bool wide = random.unit() > 0.5f;
    for (uint32_t lane = 0; lane < maxPacketLanes; ++lane) {
        const Vector3 other = random.direction();
        Vector3 d =
            lane == 0 ? ray.direction : (wide ? other : ray.direction + other * (0.01f * lane));
        const float length = std::sqrt(dot(d, d));
        d = d * (1.0f / length);
        float* parts[3] = {&d.x, &d.y, &d.z};
        for (float* part : parts)
            if (std::fabs(*part) < 0.001f || !std::isfinite(*part))
                *part = *part < 0.0f ? -0.001f : 0.001f;
        setLaneDirection(packet, lane, d);
    }
    const Kernel best = bestKernel();
    for (const Kernel kernel : {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512}) {
        if (!selectKernel(kernel))
            continue;
        PacketHits hits;
        const uint32_t raysBefore = tree.rayCount;
        intersectKdTreePacket(programTraceContext, tree, packet, hits);
        addRayCounts(programTraceContext);
        FUZZ_CHECK(tree.rayCount == raysBefore + packetLaneCount());
        for (uint32_t lane = 0; lane < packetLaneCount(); ++lane) {
            const int alone = intersectKdTree(tree, {packet.origin, laneDirection(packet, lane)});
            const bool together = (hits.hitMask >> lane) & 1u;
            FUZZ_CHECK(together == (alone != 0));
            if (together) {
                FUZZ_CHECK(std::memcmp(&hits.hit[lane], &hitRecord, sizeof hitRecord) == 0);
            }
        }
    }
    selectKernel(best);
}

// A few leaves against the ray: with every kernel, the packed groups must
// leave exactly the record the in-order list test leaves, mixed leaves and
// ties included.
void checkLeaves(const KdTree& tree, uint32_t leafCount, const Ray& ray, uint32_t first) {
    const Kernel best = bestKernel();
    for (uint32_t n = 0; n < 8 && n < leafCount; ++n) {
        const uint32_t leaf = (first + n * 7919u) % leafCount;
        const int listHit = intersectList(tree.leaves[leaf], ray);
        const HitRecord listRecord = hitRecord;
        for (const Kernel kernel : {Kernel::Scalar, Kernel::Avx2, Kernel::Avx512}) {
            if (!selectKernel(kernel))
                continue;
            hitRecord = listRecord;
            FUZZ_CHECK((intersectLeaf(programTraceContext, tree, leaf, ray) != 0) ==
                       (listHit != 0));
            FUZZ_CHECK(std::memcmp(&hitRecord, &listRecord, sizeof hitRecord) == 0);
        }
    }
    selectKernel(best);
}

void traceRays(KdTree& tree, const Scene& scene, uint32_t seed) {
    uint32_t leafCount = 0;
    forEachNode(tree,
                [&](uint32_t, const KdTreeNode& node, uint32_t) { leafCount += isLeafNode(node); });
    const PrimitiveList flat{const_cast<PrimitiveRef*>(scene.refs.data()),
                             static_cast<uint32_t>(scene.refs.size())};
    PrimitiveRef treeRef{&tree, PrimitiveType::NestedTree};
    const PrimitiveList topLevel{&treeRef, 1};
    RayGenerator random{seed};
    RayGenerator packetRandom{~seed};
    for (uint32_t i = 0; i < scene.rayCount; ++i) {
        Ray ray{};
        ray.direction = random.direction();
        if (!scene.refs.empty() && i % 4 != 3) {
            // Aimed at a primitive from some way off, or from its centre.
            const Vector3 target = anchorOf(scene.refs[i % scene.refs.size()]);
            const float back = i % 4 == 2 ? 0.0f : 1.0f + 40.0f * (random.unit() + 1.0f);
            ray.origin = target - ray.direction * back;
        } else {
            ray.origin = Vector3{random.unit(), random.unit(), random.unit()} * 50.0f;
        }

        const int brute = intersectList(flat, ray);
        const float bruteDistance = hitRecord.distance;
        const uint32_t raysBefore = tree.rayCount;
        const int walked = intersectList(topLevel, ray);
        const float walkedDistance = hitRecord.distance;
        FUZZ_CHECK(tree.rayCount == raysBefore + 1);

        float entry = 0.0f;
        float exit = 0.0f;
        int recursive = 0;
        float recursiveDistance = noHitDistance;
        if (clipToBox(tree, ray, entry, exit)) {
            hitRecord.distance = noHitDistance;
            recursive = traverseKdTreeRecursive(tree, ray, &tree.nodes[0], entry, exit);
            recursiveDistance = hitRecord.distance;
        }

        checkPacket(tree, ray, packetRandom);
        checkLeaves(tree, leafCount, ray, i);

        if (!scene.comparable || !moderate(ray.origin))
            continue;
        const bool agree = (walked != 0) == (brute != 0) && (recursive != 0) == (brute != 0) &&
                           (!brute || (sameDistance(walkedDistance, bruteDistance) &&
                                       sameDistance(recursiveDistance, bruteDistance)));
        if (!agree && brute && hiddenByRounding(tree, ray, bruteDistance))
            continue;
        if (!agree) {
            std::fprintf(stderr,
                         "method %d, ray %u from (%.9g, %.9g, %.9g) along (%.9g, %.9g, %.9g)\n"
                         "flat list: %d at %.9g; tree: %d at %.9g; recursive walk: %d at %.9g\n",
                         scene.method, i, ray.origin.x, ray.origin.y, ray.origin.z, ray.direction.x,
                         ray.direction.y, ray.direction.z, brute, bruteDistance, walked,
                         walkedDistance, recursive, recursiveDistance);
        }
        FUZZ_CHECK(agree);
    }
}

// A shape the queries refuse: finite, with a coordinate (a sphere's centre
// plus or minus its radius) beyond the range their tests answer, and, for a
// triangle, an area.
bool beyondQueryRange(const PrimitiveRef& ref) {
    const auto far = [](const Vector3& v, float reach) {
        const double most = queryCoordinateLimit;
        return std::fabs(double{v.x}) + reach > most || std::fabs(double{v.y}) + reach > most ||
               std::fabs(double{v.z}) + reach > most;
    };
    if (!isBuildable(ref))
        return false;
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        return far(s.centre, std::fabs(s.radius));
    }
    const Triangle& t = *static_cast<const Triangle*>(ref.object);
    const double e1[3] = {double{t.V1.x} - t.V0.x, double{t.V1.y} - t.V0.y,
                          double{t.V1.z} - t.V0.z};
    const double e2[3] = {double{t.V2.x} - t.V0.x, double{t.V2.y} - t.V0.y,
                          double{t.V2.z} - t.V0.z};
    const bool flat = e1[1] * e2[2] == e1[2] * e2[1] && e1[2] * e2[0] == e1[0] * e2[2] &&
                      e1[0] * e2[1] == e1[1] * e2[0];
    return (far(t.V0, 0) || far(t.V1, 0) || far(t.V2, 0)) && !flat;
}

// Whether ray meets ref squarely, well past tnear: a triangle of some area
// not along its plane, at weights of 0.1 at least; a sphere of radius 0.01 or
// more from outside, through the inner half of its radius. Worked out in
// double from the floats the queries take. distance: where it meets it;
// slack: how far off, in lengths of the direction, the floats may put that
// point (a few of their steps at the magnitudes of the ray and the shape).
bool meetsSquarely(const PrimitiveRef& ref, const QueryRay& ray, double& distance, double& slack) {
    if (!isBuildable(ref))
        return false;
    using D = std::array<double, 3>;
    const auto of = [](const Vector3& v) { return D{v.x, v.y, v.z}; };
    const auto minus = [](const D& a, const D& b) {
        return D{a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    };
    const auto dotOf = [](const D& a, const D& b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    };
    const auto crossOf = [](const D& a, const D& b) {
        return D{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    };
    const D o = of(ray.origin);
    const D d = of(ray.direction);
    const double dd = dotOf(d, d);
    double magnitude = 0;
    double size = 0; // a triangle's longest edge, a sphere's radius
    for (const D& point :
         {o, ref.type == PrimitiveType::Sphere ? of(static_cast<const Sphere*>(ref.object)->centre)
                                               : of(static_cast<const Triangle*>(ref.object)->V0)})
        for (double c : point)
            magnitude = std::max(magnitude, std::fabs(c));
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        const double r = std::fabs(double{s.radius});
        size = r;
        magnitude += r;
        const D f = minus(o, of(s.centre));
        const double b = dotOf(f, d);
        const double ff = dotOf(f, f);
        const double perpendicular = ff - b * b / dd;
        if (!(r >= 0.01) || ff < 2.25 * r * r || perpendicular > 0.25 * r * r || b >= 0)
            return false;
        distance = (-b - std::sqrt(b * b - dd * (ff - r * r))) / dd;
    } else if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        const D v0 = of(t.V0);
        const D e1 = minus(of(t.V1), v0);
        const D e2 = minus(of(t.V2), v0);
        const D n = crossOf(e1, e2);
        const double area = std::sqrt(dotOf(n, n));
        const double longest =
            std::max({dotOf(e1, e1), dotOf(e2, e2), dotOf(minus(e2, e1), minus(e2, e1))});
        size = std::sqrt(longest);
        magnitude += size;
        const double facing = dotOf(n, d);
        if (!(area > 0.05 * longest) || !(std::fabs(facing) > 0.3 * area * std::sqrt(dd)))
            return false;
        distance = dotOf(n, minus(v0, o)) / facing;
        const D p = {o[0] + distance * d[0], o[1] + distance * d[1], o[2] + distance * d[2]};
        const D q = minus(p, v0);
        const double u = dotOf(crossOf(q, e2), n) / (area * area);
        const double v = dotOf(crossOf(e1, q), n) / (area * area);
        if (!(u >= 0.1 && v >= 0.1 && 1 - u - v >= 0.1))
            return false;
    } else {
        return false;
    }
    slack = (1e-5 * magnitude + 1e-4) / std::sqrt(dd) + 1e-4 * std::fabs(distance);
    // Seen from a thousand times its size away, a shape is a speck the
    // tests may rightly take for rounding.
    return std::isfinite(distance) && distance > ray.tnear + slack &&
           size >= 1e-3 * distance * std::sqrt(dd);
}

// Every hit of a segment through one mesh's hierarchy, listed and counted,
// against the same triangles each a geometry of its own (a leaf alone, no
// walk between boxes): the same hits, the nearest first and at the nearest
// hit's distance.
struct EveryHitCheck {
    GeometryScene mesh;
    GeometryScene apart;
    bool usable = false;

    EveryHitCheck(const std::vector<float>& vertices, const std::vector<uint32_t>& indices) {
        const auto count = static_cast<uint32_t>(indices.size() / 3);
        addTriangles(mesh, vertices.data(), static_cast<uint32_t>(vertices.size() / 3),
                     indices.data(), count);
        // Each with its three corners alone: the whole array each would be
        // the run's main cost.
        static constexpr uint32_t corners[3] = {0, 1, 2};
        for (uint32_t t = 0; t < count; ++t) {
            float own[9];
            for (int c = 0; c < 3; ++c)
                std::copy_n(&vertices[3 * size_t{indices[3 * t + c]}], 3, own + 3 * c);
            addTriangles(apart, own, 3, corners, 1);
        }
        QueryBuildOptions one;
        one.threads = 1;
        usable = count <= 512 && buildGeometryScene(mesh, one) == BuildResult::Built &&
                 buildGeometryScene(apart, one) == BuildResult::Built;
    }
    ~EveryHitCheck() {
        releaseGeometryScene(mesh);
        releaseGeometryScene(apart);
    }

    void check(TraceContext& context, const QueryRay& ray) {
        if (!usable)
            return;
        std::vector<SegmentHit> hits;
        std::vector<SegmentHit> each;
        listIntersections(context, mesh, ray, hits);
        listIntersections(context, apart, ray, each);
        FUZZ_CHECK(hits.size() == each.size());
        FUZZ_CHECK(countIntersections(context, mesh, ray) == hits.size());
        for (size_t k = 0; k < hits.size(); ++k)
            FUZZ_CHECK(hits[k].t == each[k].t && hits[k].primitive == each[k].geometry);
        GeometryHit nearest;
        FUZZ_CHECK(intersectNearest(context, mesh, ray, nearest) == !hits.empty());
        FUZZ_CHECK(hits.empty() || hits[0].t == nearest.t);
    }
};

// The queries over the same entries: every ray, some with zero components
// or beginning behind the origin, finds through the queries' hierarchy
// exactly what a scan of the whole list finds, and the occlusion query
// agrees. Beyond moderate values only crashes are looked for, but that a
// ray that meets a shape squarely finds it (or a nearer one) wherever the
// scene lies within the queries' range; a scene with a shape beyond it is
// refused, its shapes counted.
void checkQueries(const Scene& scene, const PrimitiveList& list, uint32_t seed) {
    BuildOptions options;
    options.memoryBudget = buildBudgetBytes;
    QueryScene walked;
    uint32_t beyond = 0;
    for (uint32_t i = 0; i < list.count; ++i)
        beyond += beyondQueryRange(list.items[i]);
    FUZZ_CHECK(queryShapesOutOfRange(list) == beyond);
    const BuildResult built = buildQueryScene(walked, list, scene.method, options);
    FUZZ_CHECK((built == BuildResult::OutOfRange) == (beyond != 0));
    if (built != BuildResult::Built)
        return;
    QueryScene whole;
    FUZZ_CHECK(buildQueryScene(whole, list, scanWholeList) == BuildResult::Built);
    // The hierarchy alone, on two threads, and over the list's triangles as
    // arrays, which a scan of those triangles alone answers for.
    QueryBuildOptions hierarchy;
    hierarchy.threads = 2;
    hierarchy.memoryBudget = buildBudgetBytes;
    QueryScene alone;
    FUZZ_CHECK(buildQueryScene(alone, list, hierarchy) == BuildResult::Built);
    std::vector<PrimitiveRef> triangleRefs;
    std::vector<float> vertices;
    std::vector<uint32_t> indices;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.items[i].type != PrimitiveType::Triangle)
            continue;
        triangleRefs.push_back(list.items[i]);
        const Triangle& t = *static_cast<const Triangle*>(list.items[i].object);
        for (const Vector3& v : {t.V0, t.V1, t.V2}) {
            indices.push_back(static_cast<uint32_t>(vertices.size() / 3));
            vertices.insert(vertices.end(), {v.x, v.y, v.z});
        }
    }
    QueryScene arrays;
    FUZZ_CHECK(buildQueryScene(arrays, vertices.data(), static_cast<uint32_t>(vertices.size() / 3),
                               indices.data(), static_cast<uint32_t>(triangleRefs.size()),
                               hierarchy) == BuildResult::Built);
    QueryScene wholeTriangles;
    FUZZ_CHECK(buildQueryScene(wholeTriangles,
                               {triangleRefs.data(), static_cast<uint32_t>(triangleRefs.size())},
                               scanWholeList) == BuildResult::Built);
    EveryHitCheck everyHit(vertices, indices);
    RayGenerator random{~seed * 7u};
    TraceContext context;
    for (uint32_t i = 0; i < scene.rayCount; ++i) {
        QueryRay ray{{},
                     random.direction(),
                     random.unit() > 0.5f ? 0.0f : random.unit() * 8.0f,
                     std::numeric_limits<float>::infinity()};
        if (random.unit() > 0.5f)
            ray.direction.y = 0.0f;
        const Vector3 target = scene.refs.empty() ? Vector3{0.0f, 0.0f, 0.0f}
                                                  : anchorOf(scene.refs[i % scene.refs.size()]);
        ray.origin = target - ray.direction * (40.0f * (random.unit() + 1.0f));
        QueryHit expected;
        QueryHit hit;
        const bool found = intersectNearest(context, whole, ray, expected);
        intersectNearest(context, walked, ray, hit);
        const bool any = intersectAny(context, walked, ray);
        double distance;
        double slack;
        const bool inRange =
            isFinite(ray.origin) && std::max({std::fabs(ray.origin.x), std::fabs(ray.origin.y),
                                              std::fabs(ray.origin.z)}) <= queryCoordinateLimit;
        if (inRange && !scene.refs.empty() &&
            meetsSquarely(scene.refs[i % scene.refs.size()], ray, distance, slack)) {
            const double most = distance + slack;
            const bool met = expected.t <= most && hit.t <= most && any;
            if (!met)
                std::fprintf(stderr,
                             "query %u from (%.9g, %.9g, %.9g) along (%.9g, %.9g, %.9g) meets "
                             "entry %u at %.9g; whole list: %.9g; hierarchy: %.9g, occluded %d\n",
                             i, ray.origin.x, ray.origin.y, ray.origin.z, ray.direction.x,
                             ray.direction.y, ray.direction.z,
                             static_cast<uint32_t>(i % scene.refs.size()), distance, expected.t,
                             hit.t, any);
            FUZZ_CHECK(met);
        }
        everyHit.check(context, ray);
        if (!scene.comparable || !moderate(ray.origin))
            continue;
        if (std::memcmp(&hit, &expected, sizeof hit) != 0 || any != found) {
            std::fprintf(stderr,
                         "method %d, query %u from (%.9g, %.9g, %.9g) along (%.9g, %.9g, %.9g), "
                         "tnear %.9g\nwhole list: entry %u at %.9g (%.9g, %.9g); hierarchy: "
                         "entry %u at %.9g (%.9g, %.9g); occluded %d\n",
                         scene.method, i, ray.origin.x, ray.origin.y, ray.origin.z, ray.direction.x,
                         ray.direction.y, ray.direction.z, ray.tnear, expected.primitive,
                         expected.t, expected.u, expected.v, hit.primitive, hit.t, hit.u, hit.v,
                         any);
        }
        FUZZ_CHECK(std::memcmp(&hit, &expected, sizeof hit) == 0);
        FUZZ_CHECK(any == found);
        QueryHit hierarchyHit;
        intersectNearest(context, alone, ray, hierarchyHit);
        FUZZ_CHECK(std::memcmp(&hierarchyHit, &expected, sizeof hit) == 0);
        const auto bits = [](float x) {
            uint32_t b;
            std::memcpy(&b, &x, sizeof b);
            return b;
        };
        QueryHit fromArrays;
        const bool triangleFound = intersectNearest(context, wholeTriangles, ray, expected);
        FUZZ_CHECK(intersectNearest(context, arrays, ray, fromArrays) == triangleFound);
        FUZZ_CHECK(!triangleFound || (fromArrays.primitive == expected.primitive &&
                                      bits(fromArrays.t) == bits(expected.t) &&
                                      bits(fromArrays.u) == bits(expected.u) &&
                                      bits(fromArrays.v) == bits(expected.v)));
    }
    releaseQueryScene(walked);
    releaseQueryScene(whole);
    releaseQueryScene(alone);
    releaseQueryScene(arrays);
    releaseQueryScene(wholeTriangles);
}

// The heap and the list store a build took, beyond what was live before it:
// an upper bound of its peak.
std::size_t takenBytes(std::size_t liveBefore, const BuildContext& context) {
    return allocation_budget::peakBytes - liveBefore + context.lists.takenBytes();
}

// The reference's plane search costs every candidate with a pass over the
// list.
bool referenceIsQuick(const Scene& scene) {
    return scene.method == 0 || scene.refs.size() <= 200;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzBytes bytes(data, size);
    Scene scene;
    decodeScene(bytes, scene);

    const std::vector<PrimitiveRef> before = scene.refs;
    const PrimitiveList list{scene.refs.data(), static_cast<uint32_t>(scene.refs.size())};
    KdTree* tree = nullptr;
    const std::size_t liveBefore = allocation_budget::liveBytes;
    allocation_budget::peakBytes = liveBefore;
    BuildOptions options;
    options.memoryBudget = buildBudgetBytes;
    bool stopped = false;
    {
        BuildContext context(options);
        try {
            const allocation_budget::Scope limit(allocationLimitBytes);
            tree = buildInContext(list, scene.method, context);
        } catch (const std::bad_alloc&) {
            // Stopped by the budget, not by the allocator's limit.
            FUZZ_CHECK(context.budget.exceeded());
            stopped = true;
        }
        // Whatever it made, the compiled tree included, fitted in the budget.
        FUZZ_CHECK(takenBytes(liveBefore, context) <= buildBudgetBytes);
    }
    if (stopped) {
        // With everything released.
        FUZZ_CHECK(allocation_budget::liveBytes == liveBefore);
        return 0;
    }
    FUZZ_CHECK(tree != nullptr);
    FUZZ_CHECK(tree->rayCount == 0 && tree->emptyLeafCount == 0 && tree->nodeVisitCount == 0);
    // The input list is left as it was.
    FUZZ_CHECK(list.count == before.size());
    FUZZ_CHECK(before.empty() ||
               std::memcmp(before.data(), list.items, before.size() * sizeof(PrimitiveRef)) == 0);

    checkStructure(*tree, scene);
    if (referenceIsQuick(scene)) {
        KdTree* plain = reference::buildKdTree(list, scene.method);
        FUZZ_CHECK(testing_support::compiledTreeDifference(*tree, *plain).empty());
        releaseKdTree(plain);
    }

    uint32_t seed = static_cast<uint32_t>(size);
    for (size_t i = 0; i < size; ++i)
        seed = seed * 31u + data[i];
    traceRays(*tree, scene, seed);
    checkQueries(scene, list, seed);

    releaseKdTree(tree);
    return 0;
}
