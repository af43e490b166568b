#include "vantrel/tracer/query.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <new>

#include "vantrel/bvh/query_bvh.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query_leaf_kernel.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/watertight_triangle.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// Trees inside trees deeper than this are not entered: a tree made by hand
// may hold itself.
constexpr int mostNesting = 16;

bool hitsSphere(const Vector3& origin, const Vector3& d, const Sphere& sphere, float tnear,
                float tfar, float& t) {
    using F = scalar::Floats;
    const float direction[3] = {d.x, d.y, d.z};
    typename F::Mask accepted;
    t = querySphereRoot<F>(origin.x - sphere.centre.x, origin.y - sphere.centre.y,
                           origin.z - sphere.centre.z, direction, dot(d, d), sphere.radius, tnear,
                           tfar, accepted)
            .v;
    return accepted.v;
}

// What a walk looks for, and what it has found so far.
struct Search {
    const QueryRay& ray;
    ShearedRay sheared;
    bool anyHit; // stop at the first hit
    float tfar;  // shrinks to the nearest hit found
    const void* object = nullptr;
    PrimitiveType type = PrimitiveType::Sphere;
    // The index in the scene's list of the entry that holds the hit: the
    // primitive itself, or the nested tree it lies in.
    uint32_t sceneIndex = noPrimitive;
};

// Tests list's entries; at nesting 0 they are the scene's from firstIndex on.
bool testList(TraceContext& context, Search& search, const PrimitiveList& list, int nesting,
              uint32_t firstIndex = 0);

// Takes a hit at t as the search's nearest: the first hit in the segment,
// or a later one strictly nearer, so that of hits at one distance the first
// found stays.
bool take(Search& search, float t, const PrimitiveRef& ref) {
    if (search.object && !(t < search.tfar))
        return false;
    // A hit at the origin at +0, whichever sign the lanes' minimum left on
    // its zero.
    search.tfar = t + 0.0f;
    search.object = ref.object;
    search.type = ref.type;
    return true;
}

// Tests one entry; true where it was hit within the search's segment.
bool testEntry(Search& search, const PrimitiveRef& ref) {
    const QueryRay& ray = search.ray;
    float t;
    switch (ref.type) {
    case PrimitiveType::Sphere:
        return hitsSphere(ray.origin, ray.direction, *static_cast<const Sphere*>(ref.object),
                          ray.tnear, search.tfar, t) &&
               take(search, t, ref);
    case PrimitiveType::Triangle: {
        const Triangle& triangle = *static_cast<const Triangle*>(ref.object);
        return hitsTriangle(search.sheared, triangle.V0, triangle.V1, triangle.V2, ray.tnear,
                            search.tfar, t) &&
               take(search, t, ref);
    }
    default:
        return false;
    }
}

bool walkTree(TraceContext& context, Search& search, const KdTree& tree, int nesting);

// A leaf through its packed groups where it has them, several entries at a
// time, with the answer of testing its list in order.
bool testLeaf(TraceContext& context, Search& search, const KdTree& tree, uint32_t leaf,
              int nesting) {
    const PrimitiveList& list = tree.leaves[leaf];
    if (!tree.leafShapes || !isPacked(tree.leafShapes[leaf]))
        return testList(context, search, list, nesting);
    const LeafShapes& shapes = tree.leafShapes[leaf];
    const QueryRay& ray = search.ray;
    const float tnear = ray.tnear;
    float sphereT = noHitDistance;
    float triangleT = noHitDistance;
    const SphereGroup* spheres = sphereGroupsOf(tree, shapes);
    const TriangleGroup* triangles = triangleGroupsOf(tree, shapes);
    // Any hit ends an occlusion query: which one, and where on it, is not asked.
    if (search.anyHit)
        return (triangles && kernelInUse.anyTriangleQuery(triangles, shapes.triangleCount,
                                                          search.sheared, tnear, search.tfar)) ||
               (spheres && kernelInUse.nearestSphereQuery(spheres, shapes.sphereCount,
                                                          {ray.origin, ray.direction}, tnear,
                                                          search.tfar, sphereT) != noEntry);
    const uint32_t triangle =
        triangles ? kernelInUse.nearestTriangleQuery(triangles, shapes.triangleCount,
                                                     search.sheared, tnear, search.tfar, triangleT)
                  : noEntry;
    const uint32_t sphere = spheres ? kernelInUse.nearestSphereQuery(spheres, shapes.sphereCount,
                                                                     {ray.origin, ray.direction},
                                                                     tnear, search.tfar, sphereT)
                                    : noEntry;
    if (triangleWins(list, sphere, sphereT, triangle, triangleT)) {
        const TriangleGroup& group = triangles[triangle / triangleGroupLanes];
        const Triangle* hit = group.triangle[triangle % triangleGroupLanes];
        return take(search, triangleT, {const_cast<Triangle*>(hit), PrimitiveType::Triangle});
    }
    if (sphere == noEntry)
        return false;
    const Sphere* hit = spheres[sphere / sphereGroupLanes].sphere[sphere % sphereGroupLanes];
    return take(search, sphereT, {const_cast<Sphere*>(hit), PrimitiveType::Sphere});
}

bool testList(TraceContext& context, Search& search, const PrimitiveList& list, int nesting,
              uint32_t firstIndex) {
    bool hit = false;
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        bool entryHit;
        if (ref.type == PrimitiveType::NestedTree) {
            entryHit =
                nesting < mostNesting &&
                walkTree(context, search, *static_cast<const KdTree*>(ref.object), nesting + 1);
        } else {
            entryHit = testEntry(search, ref);
        }
        if (entryHit && nesting == 0)
            search.sceneIndex = firstIndex + i;
        hit = hit || entryHit;
        if (hit && search.anyHit)
            return true;
    }
    return hit;
}

// The segment [entry, exit] of the ray inside the tree's box, widened by a
// few rounding steps so that a ray grazing a face still walks the cells
// behind it. False where it misses the box.
bool clipToBounds(const KdTree& tree, const QueryRay& ray, const float inverse[3], float& entry,
                  float& exit) {
    const float origin[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float direction[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    for (int k = 0; k < 3; ++k) {
        if (direction[k] == 0.0f) {
            // Parallel to the slab: inside it all along, or never.
            if (origin[k] < tree.boundsMin[k] || origin[k] > tree.boundsMax[k])
                return false;
            continue;
        }
        float near = (tree.boundsMin[k] - origin[k]) * inverse[k];
        float far = (tree.boundsMax[k] - origin[k]) * inverse[k];
        if (near > far)
            std::swap(near, far);
        entry = std::max(entry, near);
        exit = std::min(exit, far);
    }
    const float slack = 4.0f * FLT_EPSILON * std::max(std::fabs(entry), std::fabs(exit));
    entry -= slack;
    exit += slack;
    return entry <= exit;
}

// Front to back through the cells the segment crosses. Nearest hit: a leaf's
// hit ends the walk once no cell still ahead can hold a nearer one.
bool walkTree(TraceContext& context, Search& search, const KdTree& tree, int nesting) {
    const QueryRay& ray = search.ray;
    const float origin[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float direction[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const float inverse[3] = {1.0f / direction[0], 1.0f / direction[1], 1.0f / direction[2]};
    float entry = ray.tnear;
    float exit = search.tfar;
    if (!clipToBounds(tree, ray, inverse, entry, exit))
        return false;

    struct Pending {
        const KdTreeNode* node;
        float entry;
        float exit;
    };
    Pending pending[traversalStackSize];
    int top = -1;
    // The child the ray runs into first on each axis, by its direction's
    // sign alone; a zero component's sign picks the side its infinite
    // reciprocal sends the plane's distance to, so that a ray parallel to
    // a plane stays on the origin's side.
    const uint32_t nearOffset[3] = {std::signbit(direction[0]) ? 1u : 0u,
                                    std::signbit(direction[1]) ? 1u : 0u,
                                    std::signbit(direction[2]) ? 1u : 0u};
    const KdTreeNode* node = tree.nodes;
    bool hit = false;
    for (;;) {
        while (!isLeafNode(*node)) {
            const uint32_t axis = splitAxis(*node);
            const KdTreeNode* lower = tree.nodes + lowerChild(*node);
            const KdTreeNode* nearChild = lower + nearOffset[axis];
            const KdTreeNode* farChild = lower + (nearOffset[axis] ^ 1u);
            const float t = (node->split - origin[axis]) * inverse[axis];
            if (t > exit) {
                node = nearChild;
            } else if (t < entry) {
                node = farChild;
            } else {
                if (top + 1 == traversalStackSize)
                    return hit; // deeper than any build makes
                // NaN: parallel to the plane and in it, the whole segment is
                // on both sides.
                const bool inPlane = t != t;
                pending[++top] = {farChild, inPlane ? entry : t, exit};
                node = nearChild;
                exit = inPlane ? exit : t;
            }
        }
        if (!isEmptyLeaf(*node) && testLeaf(context, search, tree, leafIndex(*node), nesting)) {
            hit = true;
            if (search.anyHit || search.tfar <= exit)
                return true;
        }
        do {
            if (top < 0)
                return hit;
            node = pending[top].node;
            entry = pending[top].entry;
            exit = pending[top].exit;
            --top;
        } while (entry > search.tfar);
        exit = std::min(exit, search.tfar);
    }
}

// Whether ray is a segment the walks can trace, whose end as they take it
// is left in tfar (the ray's own on entry).
bool traceable(const QueryRay& ray, float& tfar) {
    const Vector3& d = ray.direction;
    // A ray that is nowhere or goes nowhere meets nothing.
    if ((d.x == 0.0f && d.y == 0.0f && d.z == 0.0f) || !isFinite(d) || !isFinite(ray.origin) ||
        !(ray.tnear <= tfar))
        return false;
    // A distance that overflowed names no place on the ray; and the leaf
    // kernels, nearest or any, take only distances below the largest float.
    tfar = std::min(tfar, std::nextafter(noHitDistance, 0.0f));
    return true;
}

bool sameOrigin(const QueryRay& a, const QueryRay& b) {
    return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.origin.z == b.origin.z;
}

// The scene's entries that its tree does not hold, after the tree's walk
// found hit (or not).
bool searchOutsideTree(TraceContext& context, const QueryScene& scene, Search& search, bool hit) {
    for (uint32_t index : scene.outsideTree) {
        if (hit && search.anyHit)
            return true;
        hit = testList(context, search, {scene.list.items + index, 1}, 0, index) || hit;
    }
    return hit;
}

bool search(TraceContext& context, const QueryScene& scene, Search& search) {
    if (!traceable(search.ray, search.tfar))
        return false;
    search.sheared = shearRay(search.ray.origin, search.ray.direction);
    if (!scene.tree)
        return testList(context, search, scene.list, 0);
    bool hit;
    if (search.anyHit) {
        hit = kernelInUse.anyInBvh(*scene.bvh, search.ray, search.sheared, search.tfar);
    } else {
        BvhHit nearest;
        hit = kernelInUse.nearestInBvh(*scene.bvh, search.ray, search.sheared, search.tfar,
                                       nearest) &&
              take(search, nearest.t, {const_cast<void*>(nearest.object), nearest.type});
        if (hit)
            search.sceneIndex = nearest.entry;
    }
    return searchOutsideTree(context, scene, search, hit);
}

} // namespace

BuildResult buildQueryScene(QueryScene& scene, const PrimitiveList& list, int32_t method,
                            const BuildOptions& options) {
    releaseQueryScene(scene);
    if (method != scanWholeList) {
        const BuildResult result = buildKdTree(&scene.tree, &list, method, options);
        if (result != BuildResult::Built)
            return result;
        try {
            scene.bvh = new QueryBvh;
            buildQueryBvh(*scene.bvh, list);
        } catch (const std::bad_alloc&) {
            releaseQueryScene(scene);
            return BuildResult::OutOfMemory;
        }
    }
    scene.list = list;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (scene.tree && !isBuildable(list.items[i]))
            scene.outsideTree.push_back(i);
    }
    return BuildResult::Built;
}

void releaseQueryScene(QueryScene& scene) {
    releaseKdTree(scene.tree);
    delete scene.bvh;
    scene = QueryScene{};
}

bool intersectNearest(TraceContext& context, const QueryScene& scene, const QueryRay& ray,
                      QueryHit& hit) {
    Search found{ray, {}, false, ray.tfar};
    hit = QueryHit{infinity, 0.0f, 0.0f, {0.0f, 0.0f, 0.0f}, {}, noPrimitive, PrimitiveType::Sphere,
                   nullptr};
    if (!search(context, scene, found))
        return false;
    hit.t = found.tfar;
    hit.type = found.type;
    hit.object = found.object;
    hit.primitive = found.sceneIndex;
    Vector3 normal;
    if (found.type == PrimitiveType::Triangle) {
        const Triangle& triangle = *static_cast<const Triangle*>(found.object);
        // Once per ray, for the hit that won, rather than per candidate.
        hitWeights(ray.origin, ray.direction, triangle, hit.u, hit.v);
        normal = cross(triangle.V1 - triangle.V0, triangle.V2 - triangle.V0);
        hit.material = triangle.material;
    } else {
        const Sphere& sphere = *static_cast<const Sphere*>(found.object);
        normal = ray.origin + ray.direction * hit.t - sphere.centre;
        hit.material = sphere.material;
    }
    const float length = std::sqrt(dot(normal, normal));
    hit.normal = length > 0.0f ? normal * (1.0f / length) : Vector3{0.0f, 0.0f, 0.0f};
    return true;
}

bool intersectAny(TraceContext& context, const QueryScene& scene, const QueryRay& ray) {
    Search found{ray, {}, true, ray.tfar};
    return search(context, scene, found);
}

// Runs of rays, so that a thread takes the pool's counter once a run.
constexpr size_t raysPerRun = 256;

void intersectNearest(WorkerPool& pool, const QueryScene& scene, const QueryRay* rays,
                      QueryHit* hits, size_t count) {
    pool.runEach(count, raysPerRun, [&](size_t i, TraceContext& context) {
        intersectNearest(context, scene, rays[i], hits[i]);
    });
}

void intersectAny(TraceContext& context, const QueryScene& scene, const QueryRay* rays,
                  bool* occluded, size_t count) {
    // Only the hierarchy is walked together; a scene without one is tested
    // ray by ray.
    const uint32_t lanes = kernelInUse.anyFromOnePoint != nullptr && scene.tree != nullptr
                               ? kernelInUse.onePointLanes
                               : 0;
    ShearedRay sheared[mostOnePointLanes];
    float tfar[mostOnePointLanes];
    for (size_t i = 0; i < count;) {
        uint32_t run = 0;
        while (i + run < count && run < lanes && sameOrigin(rays[i + run], rays[i])) {
            const QueryRay& ray = rays[i + run];
            tfar[run] = ray.tfar;
            if (!traceable(ray, tfar[run]))
                break;
            sheared[run] = shearRay(ray.origin, ray.direction);
            ++run;
        }
        if (run < 2) {
            occluded[i] = intersectAny(context, scene, rays[i]);
            ++i;
            continue;
        }
        const uint32_t found =
            kernelInUse.anyFromOnePoint(*scene.bvh, rays + i, sheared, tfar, run);
        for (uint32_t k = 0; k < run; ++k) {
            occluded[i + k] = (found >> k & 1u) != 0;
            if (!occluded[i + k] && !scene.outsideTree.empty()) {
                Search alone{rays[i + k], sheared[k], true, tfar[k]};
                occluded[i + k] = searchOutsideTree(context, scene, alone, false);
            }
        }
        i += run;
    }
}

void intersectAny(WorkerPool& pool, const QueryScene& scene, const QueryRay* rays, bool* occluded,
                  size_t count) {
    pool.runRanges(count, raysPerRun, [&](size_t first, size_t end, TraceContext& context) {
        intersectAny(context, scene, rays + first, occluded + first, end - first);
    });
}

} // namespace vantrel
