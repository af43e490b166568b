#include "vantrel/tracer/query.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "vantrel/bvh/build_bvh.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/budget_account.h"
#include "vantrel/scene/buildable.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/pool_threads.h"
#include "vantrel/tracer/query_hits.h"
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
    // Where the hierarchy holds the hit's shape; null for a shape found
    // outside it, which object names.
    const float* rows = nullptr;
    uint32_t rowLength = 0;
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
    search.rows = nullptr;
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

bool sameOrigin(const QueryRay& a, const QueryRay& b) {
    return a.origin.x == b.origin.x && a.origin.y == b.origin.y && a.origin.z == b.origin.z;
}

// The scene's entries that its tree does not hold, after the tree's walk
// found hit (or not); out of line, as most scenes have none.
[[gnu::noinline]] bool testOutsideTree(TraceContext& context, const QueryScene& scene,
                                       Search& search, bool hit) {
    for (uint32_t index : scene.outsideTree) {
        if (hit && search.anyHit)
            return true;
        hit = testList(context, search, {scene.list.items + index, 1}, 0, index) || hit;
    }
    return hit;
}

[[gnu::always_inline]] inline bool searchOutsideTree(TraceContext& context, const QueryScene& scene,
                                                     Search& search, bool hit) {
    return scene.outsideTree.empty() ? hit : testOutsideTree(context, scene, search, hit);
}

// Takes the hierarchy's nearest hit: named by the list's entry where the
// scene has a list, by where the hierarchy holds it otherwise.
bool takeFromHierarchy(const QueryScene& scene, Search& search, const BvhHit& hit) {
    const bool sphere = isSphereLeaf(hit.leaf);
    const PrimitiveType type = sphere ? PrimitiveType::Sphere : PrimitiveType::Triangle;
    void* const object = recordOf(scene, hit.index);
    if (!take(search, hit.t, {object, type}))
        return false;
    search.sceneIndex = hit.index;
    search.rows = leafRows(*scene.bvh, hit.leaf) + hit.lane;
    search.rowLength = leafCount(hit.leaf);
    return true;
}

// In line in each query, as the hit's finish is: a query of one ray spent a
// fifth of its time outside the walk, much of it in calls. The ray's checks
// stay out of line: in line they slowed the runs of rays from one point.
[[gnu::always_inline]] inline bool search(TraceContext& context, const QueryScene& scene,
                                          Search& search) {
    if (!traceable(search.ray, search.tfar))
        return false;
    search.sheared = shearRay(search.ray.origin, search.ray.direction);
    if (!scene.bvh)
        return testList(context, search, scene.list, 0);
    bool hit;
    if (search.anyHit) {
        hit = kernelInUse.anyInBvh(*scene.bvh, search.ray, search.sheared, search.tfar);
    } else {
        BvhHit nearest;
        hit = kernelInUse.nearestInBvh(*scene.bvh, search.ray, search.sheared, search.tfar,
                                       nearest) &&
              takeFromHierarchy(scene, search, nearest);
    }
    return searchOutsideTree(context, scene, search, hit);
}

// The triangle or sphere a hit is on, as records: where the hierarchy found
// it, from the leaf that holds it (rows, rowLength apart), which the walk
// has just read and whose floats are its record's, with the material all
// its shapes share, or else its record's; from its record otherwise.
void shapeOf(PrimitiveType type, const float* rows, uint32_t rowLength, const void* object,
             const Material* material, Triangle& triangle, Sphere& sphere) {
    const bool isTriangle = type == PrimitiveType::Triangle;
    if (!rows) {
        if (isTriangle)
            triangle = *static_cast<const Triangle*>(object);
        else
            sphere = *static_cast<const Sphere*>(object);
        return;
    }
    const auto row = [&](uint32_t k) { return rows[k * rowLength]; };
    if (isTriangle)
        triangle = {{row(0), row(1), row(2)},
                    {row(3), row(4), row(5)},
                    {row(6), row(7), row(8)},
                    material ? *material : static_cast<const Triangle*>(object)->material};
    else
        sphere = {{row(0), row(1), row(2)},
                  row(3),
                  material ? *material : static_cast<const Sphere*>(object)->material};
}

} // namespace

namespace {

// The least a hierarchy over count shapes takes: each shape's ref while it
// is built, and its place in the leaves.
uint64_t leastHierarchyBytes(uint64_t count) {
    return count * (32 + 4 * (triangleRows + 1));
}

bool beyondQueryRange(float coordinate) {
    return std::fabs(coordinate) > queryCoordinateLimit;
}

bool beyondQueryRange(const Vector3& point, float reach = 0.0f) {
    return beyondQueryRange(std::fabs(point.x) + reach) ||
           beyondQueryRange(std::fabs(point.y) + reach) ||
           beyondQueryRange(std::fabs(point.z) + reach);
}

// Corners on one line, or at one point: no ray hits such a triangle,
// wherever it lies, and no product of its test can make it seem hit.
bool withoutArea(const Vector3& a, const Vector3& b, const Vector3& c) {
    const double e1[3] = {double{b.x} - a.x, double{b.y} - a.y, double{b.z} - a.z};
    const double e2[3] = {double{c.x} - a.x, double{c.y} - a.y, double{c.z} - a.z};
    return e1[1] * e2[2] - e1[2] * e2[1] == 0.0 && e1[2] * e2[0] - e1[0] * e2[2] == 0.0 &&
           e1[0] * e2[1] - e1[1] * e2[0] == 0.0;
}

// Whether a shape the build takes in (isBuildable) lies beyond the range.
bool shapeBeyondRange(const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& sphere = *static_cast<const Sphere*>(ref.object);
        return beyondQueryRange(sphere.centre, std::fabs(sphere.radius));
    }
    const Triangle& t = *static_cast<const Triangle*>(ref.object);
    return (beyondQueryRange(t.V0) || beyondQueryRange(t.V1) || beyondQueryRange(t.V2)) &&
           !withoutArea(t.V0, t.V1, t.V2);
}

// The list's entries that the hierarchy leaves to be tested beside it.
void listOutsideHierarchy(const PrimitiveList& list, std::vector<uint32_t>& outside) {
    for (uint32_t i = 0; i < list.count; ++i) {
        if (!isBuildable(list.items[i]))
            outside.push_back(i);
    }
}

// Where list keeps the records of its spheres and triangles one after
// another, index by index, all of one kind (as the mesh readers lay them
// out), tells bvh where they start.
void findRecordStride(const PrimitiveList& list, QueryBvh& bvh) {
    uintptr_t first = 0;
    uint32_t stride = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        if (ref.type != PrimitiveType::Triangle && ref.type != PrimitiveType::Sphere)
            continue;
        const uint32_t size =
            ref.type == PrimitiveType::Triangle ? sizeof(Triangle) : sizeof(Sphere);
        const uintptr_t at = reinterpret_cast<uintptr_t>(ref.object);
        if (stride == 0) {
            stride = size;
            first = at - uintptr_t{i} * size;
        } else if (size != stride || at != first + uintptr_t{i} * stride) {
            return;
        }
    }
    bvh.records = first;
    bvh.recordStride = stride;
}

// The material of shapes given without one, as arrays.
constexpr Material white{1.0f, 1.0f, 1.0f, 0.0f};

// Where every sphere and triangle of list is of one material, bit for bit,
// as a mesh file's are, gives it to bvh.
void findOneMaterial(const PrimitiveList& list, QueryBvh& bvh) {
    const Material* first = nullptr;
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        const Material* material = nullptr;
        if (ref.type == PrimitiveType::Triangle)
            material = &static_cast<const Triangle*>(ref.object)->material;
        else if (ref.type == PrimitiveType::Sphere)
            material = &static_cast<const Sphere*>(ref.object)->material;
        else
            continue;
        if (!first)
            first = material;
        else if (std::memcmp(material, first, sizeof(Material)) != 0)
            return;
    }
    if (first) {
        bvh.oneMaterial = true;
        bvh.material = *first;
    }
}

// The input's shapes beyond the range, as the public counts give them.
uint32_t shapesOutOfRange(const BvhInput& input) {
    return input.list ? queryShapesOutOfRange(*input.list)
                      : queryShapesOutOfRange(input.vertices, input.indices, input.triangleCount);
}

// A build's charges against its budget and, for tests, a limit standing in
// for the system's memory.
struct HierarchyCharges {
    BudgetAccount& account;
    std::size_t limit;
    std::size_t taken = 0;
    bool systemRefused = false;

    static void charge(void* self, uint64_t bytes) {
        HierarchyCharges& charges = *static_cast<HierarchyCharges*>(self);
        if (charges.limit != 0 && bytes > charges.limit - std::min(charges.limit, charges.taken)) {
            charges.systemRefused = true;
            throw std::bad_alloc();
        }
        charges.account.charge(bytes);
        charges.taken += static_cast<std::size_t>(bytes);
    }
};

BuildResult buildHierarchy(QueryScene& scene, const BvhInput& input, uint32_t shapes,
                           const QueryBuildOptions& options) {
    if (shapes > mostBvhShapes)
        return BuildResult::InputTooLarge;
    BudgetAccount account(options.memoryBudget,
                          options.sharedBudget ? *options.sharedBudget : processBuildBudget(), 0);
    HierarchyCharges charges{account, options.memoryLimit};
    try {
        account.require(leastHierarchyBytes(shapes));
        std::unique_ptr<WorkerPool> ownPool;
        const BuildThreads threads = poolThreads(options, ownPool);
        std::unique_ptr<QueryBvh> bvh(new QueryBvh);
        // The shapes are looked at closer only where their bounds reach past
        // the range: a triangle without area may lie anywhere.
        BvhInput checked = input;
        checked.reach = queryCoordinateLimit;
        checked.refused = [](const BvhInput& all) { return shapesOutOfRange(all) != 0; };
        if (!buildBvh(*bvh, checked, threads, {&charges, HierarchyCharges::charge},
                      options.hugePages))
            return BuildResult::OutOfRange;
        if (input.list && bvh->shapeCount != input.list->count)
            listOutsideHierarchy(*input.list, scene.outsideTree);
        scene.bvh = bvh.release();
    } catch (const std::bad_alloc&) {
        scene.outsideTree.clear();
        if (account.tooLarge())
            return BuildResult::InputTooLarge;
        return account.exceeded() ? BuildResult::OverBudget : BuildResult::OutOfMemory;
    }
    return BuildResult::Built;
}

std::size_t kdTreeBytes(const KdTree& tree) {
    std::size_t bytes = sizeof(KdTree) + tree.groupMemoryBytes;
    uint32_t leaves = 0;
    forEachNode(tree, [&](uint32_t, const KdTreeNode& node, uint32_t) {
        bytes += sizeof(KdTreeNode);
        if (isLeafNode(node)) {
            bytes += sizeof(PrimitiveList) + sizeof(LeafShapes) +
                     tree.leaves[leafIndex(node)].count * sizeof(PrimitiveRef);
            ++leaves;
        }
    });
    if (!tree.groupMemory && tree.leafShapes) {
        for (uint32_t k = 0; k < leaves; ++k) {
            const LeafShapes& shapes = tree.leafShapes[k];
            bytes += groupsFor(shapes.sphereCount) * sizeof(SphereGroup) +
                     groupsFor(shapes.triangleCount) * sizeof(TriangleGroup);
        }
    }
    return bytes;
}

} // namespace

uint32_t queryShapesOutOfRange(const PrimitiveList& list) {
    uint32_t beyond = 0;
    for (uint32_t i = 0; i < list.count; ++i)
        beyond += isBuildable(list.items[i]) && shapeBeyondRange(list.items[i]);
    return beyond;
}

uint32_t queryShapesOutOfRange(const float* vertices, const uint32_t* indices,
                               uint32_t triangleCount) {
    uint32_t beyond = 0;
    for (size_t i = 0; i < triangleCount; ++i) {
        Vector3 corners[3];
        for (size_t k = 0; k < 3; ++k) {
            const float* v = vertices + 3 * size_t{indices[3 * i + k]};
            corners[k] = {v[0], v[1], v[2]};
        }
        // A corner that is not finite leaves the triangle out of the build.
        beyond += isFinite(corners[0]) && isFinite(corners[1]) && isFinite(corners[2]) &&
                  (beyondQueryRange(corners[0]) || beyondQueryRange(corners[1]) ||
                   beyondQueryRange(corners[2])) &&
                  !withoutArea(corners[0], corners[1], corners[2]);
    }
    return beyond;
}

BuildResult buildQueryScene(QueryScene& scene, const PrimitiveList& list,
                            const QueryBuildOptions& options) {
    releaseQueryScene(scene);
    BvhInput input;
    input.list = &list;
    const BuildResult result = buildHierarchy(scene, input, list.count, options);
    if (result != BuildResult::Built)
        return result;
    scene.list = list;
    findRecordStride(list, *scene.bvh);
    findOneMaterial(list, *scene.bvh);
    return result;
}

BuildResult buildQueryScene(QueryScene& scene, const float* vertices, uint32_t vertexCount,
                            const uint32_t* indices, uint32_t triangleCount,
                            const QueryBuildOptions& options) {
    releaseQueryScene(scene);
    // Before the build, on one thread: one plain pass for the largest index.
    uint32_t largest = 0;
    for (size_t i = 0; i < size_t{3} * triangleCount; ++i)
        largest = std::max(largest, indices[i]);
    if (triangleCount != 0 && largest >= vertexCount)
        return BuildResult::InvalidInput;
    BvhInput input;
    input.vertices = vertices;
    input.indices = indices;
    input.triangleCount = triangleCount;
    const BuildResult result = buildHierarchy(scene, input, triangleCount, options);
    if (result == BuildResult::Built) {
        scene.bvh->oneMaterial = true;
        scene.bvh->material = white;
    }
    return result;
}

BuildResult buildQueryScene(QueryScene& scene, const PrimitiveList& list, int32_t method,
                            const BuildOptions& options) {
    releaseQueryScene(scene);
    if (method == scanWholeList) {
        scene.list = list;
        return BuildResult::Built;
    }
    // Before the kd-tree's build, which the hierarchy's refusal would waste.
    if (queryShapesOutOfRange(list) != 0)
        return BuildResult::OutOfRange;
    KdTree* tree = nullptr;
    const BuildResult built = buildKdTree(&tree, &list, method, options);
    if (built != BuildResult::Built)
        return built;
    QueryBuildOptions hierarchy;
    hierarchy.memoryBudget = options.memoryBudget;
    hierarchy.sharedBudget = options.sharedBudget;
    hierarchy.hugePages = options.hugePages;
    hierarchy.memoryLimit = options.listMemoryLimit;
    const BuildResult result = buildQueryScene(scene, list, hierarchy);
    if (result != BuildResult::Built) {
        releaseKdTree(tree);
        return result;
    }
    scene.tree = tree;
    return result;
}

bool querySceneBounds(const QueryScene& scene, Vector3& lower, Vector3& upper) {
    if (!scene.bvh || scene.bvh->shapeCount == 0)
        return false;
    const float* lo = scene.bvh->boundsMin;
    const float* hi = scene.bvh->boundsMax;
    lower = {lo[0], lo[1], lo[2]};
    upper = {hi[0], hi[1], hi[2]};
    return true;
}

std::size_t querySceneBytes(const QueryScene& scene) {
    return (scene.bvh ? sizeof(QueryBvh) + bvhBytes(*scene.bvh) : 0) +
           (scene.tree ? kdTreeBytes(*scene.tree) : 0) +
           scene.outsideTree.capacity() * sizeof(uint32_t);
}

void releaseQueryScene(QueryScene& scene) {
    releaseKdTree(scene.tree);
    delete scene.bvh;
    scene = QueryScene{};
}

namespace {

// Field by field: a whole record made apart and copied in was read back
// in wide loads across its narrow stores, which stalled every query.
void setNoHit(QueryHit& hit) {
    hit.t = infinity;
    hit.u = 0.0f;
    hit.v = 0.0f;
    hit.normal = {0.0f, 0.0f, 0.0f};
    hit.material = {};
    hit.primitive = noPrimitive;
    hit.type = PrimitiveType::Sphere;
    hit.object = nullptr;
}

// The normal (unit length) and material of hit, whose type and distance
// along ray are set, from the shape it is on.
void finishShape(const QueryRay& ray, const Triangle& triangle, const Sphere& sphere,
                 QueryHit& hit) {
    Vector3 normal;
    if (hit.type == PrimitiveType::Triangle) {
        normal = cross(triangle.V1 - triangle.V0, triangle.V2 - triangle.V0);
        hit.material = triangle.material;
    } else {
        normal = ray.origin + ray.direction * hit.t - sphere.centre;
        hit.material = sphere.material;
    }
    const float length = std::sqrt(dot(normal, normal));
    hit.normal = length > 0.0f ? normal * (1.0f / length) : Vector3{0.0f, 0.0f, 0.0f};
}

// The hit a search found, with what a caller reads of it: where on the shape
// (once per ray, for the hit that won, rather than per candidate), its
// normal and its material.
[[gnu::always_inline]] inline void finishHit(const QueryScene& scene, const QueryRay& ray,
                                             const Search& found, QueryHit& hit) {
    hit.t = found.tfar;
    hit.type = found.type;
    hit.object = found.object;
    hit.primitive = found.sceneIndex;
    Triangle triangle;
    Sphere sphere;
    shapeOf(found.type, found.rows, found.rowLength, found.object,
            found.rows ? sharedMaterial(*scene.bvh) : nullptr, triangle, sphere);
    if (found.type == PrimitiveType::Triangle)
        hitWeights(ray.origin, ray.direction, triangle, hit.u, hit.v);
    finishShape(ray, triangle, sphere, hit);
}

// The run of rays from rays[0] on that leave its point, up to lanes of them
// and as long as each is traceable and not too long to trace as it is:
// their count, each one's end in tfar and sheared ray.
uint32_t runFromOnePoint(const QueryRay* rays, size_t count, uint32_t lanes, float* tfar,
                         ShearedRay* sheared) {
    uint32_t run = 0;
    while (run < count && run < lanes && sameOrigin(rays[run], rays[0])) {
        tfar[run] = rays[run].tfar;
        if (!traceable(rays[run], tfar[run]) || directionScale(rays[run].direction) != 1.0f)
            break;
        sheared[run] = shearRay(rays[run].origin, rays[run].direction);
        ++run;
    }
    return run;
}

} // namespace

bool intersectNearest(TraceContext& context, const QueryScene& scene, const QueryRay& ray,
                      QueryHit& hit) {
    QueryRay shorter;
    float scale;
    const QueryRay& traced = shortenDirection(ray, shorter, scale);
    Search found{traced, {}, false, traced.tfar};
    setNoHit(hit);
    if (!search(context, scene, found))
        return false;
    finishHit(scene, traced, found, hit);
    hit.t *= scale;
    return true;
}

void intersectNearest(TraceContext& context, const QueryScene& scene, const QueryRay* rays,
                      QueryHit* hits, size_t count) {
    // Only the hierarchy is walked together; a scene without one is tested
    // ray by ray.
    const uint32_t lanes = kernelInUse.nearestFromOnePoint != nullptr && scene.bvh != nullptr
                               ? kernelInUse.onePointLanes
                               : 0;
    ShearedRay sheared[mostOnePointLanes];
    OnePointRays together;
    BvhHit nearest[mostOnePointLanes];
    for (size_t i = 0; i < count;) {
        const uint32_t run = runFromOnePoint(rays + i, count - i, lanes, together.tfar, sheared);
        if (run < 2) {
            intersectNearest(context, scene, rays[i], hits[i]);
            ++i;
            continue;
        }
        together.origin = rays[i].origin;
        together.count = run;
        for (uint32_t k = 0; k < run; ++k) {
            together.direction[0][k] = rays[i + k].direction.x;
            together.direction[1][k] = rays[i + k].direction.y;
            together.direction[2][k] = rays[i + k].direction.z;
            together.tnear[k] = rays[i + k].tnear;
        }
        const uint32_t found = kernelInUse.nearestFromOnePoint(*scene.bvh, together, nearest);
        for (uint32_t k = 0; k < run; ++k) {
            Search search{rays[i + k], sheared[k], false, together.tfar[k]};
            const bool hit = (found >> k & 1u) != 0 && takeFromHierarchy(scene, search, nearest[k]);
            setNoHit(hits[i + k]);
            if (searchOutsideTree(context, scene, search, hit))
                finishHit(scene, rays[i + k], search, hits[i + k]);
        }
        i += run;
    }
}

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

float directionScale(const Vector3& d) {
    const float most = std::max({std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)});
    if (!(most > longestDirectionTraced) || !std::isfinite(most))
        return 1.0f;
    int exponent;
    std::frexp(most, &exponent);
    return std::ldexp(1.0f, -exponent);
}

const QueryRay& shortenDirection(const QueryRay& ray, QueryRay& shorter, float& scale) {
    scale = directionScale(ray.direction);
    if (scale == 1.0f)
        return ray;
    shorter = {ray.origin, ray.direction * scale, ray.tnear / scale, ray.tfar / scale};
    return shorter;
}

void hitOfHierarchy(const QueryScene& scene, const QueryRay& ray, const BvhHit& found,
                    QueryHit& hit) {
    // As finishHit gives it, without the search that a query's hit passes
    // through on its way, or the weights.
    const void* object = recordOf(scene, found.index);
    hit.t = found.t + 0.0f;
    hit.u = 0.0f;
    hit.v = 0.0f;
    hit.primitive = found.index;
    hit.type = isSphereLeaf(found.leaf) ? PrimitiveType::Sphere : PrimitiveType::Triangle;
    hit.object = object;
    Triangle triangle;
    Sphere sphere;
    shapeOf(hit.type, leafRows(*scene.bvh, found.leaf) + found.lane, leafCount(found.leaf), object,
            sharedMaterial(*scene.bvh), triangle, sphere);
    finishShape(ray, triangle, sphere, hit);
}

bool intersectAny(TraceContext& context, const QueryScene& scene, const QueryRay& ray) {
    QueryRay shorter;
    float scale;
    const QueryRay& traced = shortenDirection(ray, shorter, scale);
    Search found{traced, {}, true, traced.tfar};
    return search(context, scene, found);
}

// Runs of rays, so that a thread takes the pool's counter once a run.
constexpr size_t raysPerRun = 256;

void intersectNearest(WorkerPool& pool, const QueryScene& scene, const QueryRay* rays,
                      QueryHit* hits, size_t count) {
    pool.runRanges(count, raysPerRun, [&](size_t first, size_t end, TraceContext& context) {
        intersectNearest(context, scene, rays + first, hits + first, end - first);
    });
}

void intersectAny(TraceContext& context, const QueryScene& scene, const QueryRay* rays,
                  bool* occluded, size_t count) {
    // Only the hierarchy is walked together; a scene without one is tested
    // ray by ray.
    const uint32_t lanes = kernelInUse.anyFromOnePoint != nullptr && scene.bvh != nullptr
                               ? kernelInUse.onePointLanes
                               : 0;
    ShearedRay sheared[mostOnePointLanes];
    float tfar[mostOnePointLanes];
    for (size_t i = 0; i < count;) {
        const uint32_t run = runFromOnePoint(rays + i, count - i, lanes, tfar, sheared);
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
                occluded[i + k] = testOutsideTree(context, scene, alone, false);
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
