// The packed groups of a compiled tree's leaves: each leaf's spheres and
// triangles by component, so that a vector unit tests a row at once.
#include <cmath>
#include <memory>

#include "vantrel/kdtree/compile/compile.h"
#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/scene/page_advice.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

// Per leaf, its spheres and triangles; other entries (or none) leave both 0.
LeafShapes countShapes(const PrimitiveList& list) {
    LeafShapes shapes{noGroup, 0, noGroup, 0};
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveType type = list.items[i].type;
        if (type == PrimitiveType::Sphere)
            ++shapes.sphereCount;
        else if (type == PrimitiveType::Triangle)
            ++shapes.triangleCount;
        else
            return {noGroup, 0, noGroup, 0};
    }
    return shapes;
}

} // namespace

namespace {

// Writes the entries of list of one kind, in order, into groups, padding the
// last group's lanes past the end.
template <class Shape, class Group, class Put, class Pad>
void packKind(const PrimitiveList& list, PrimitiveType type, uint32_t count, Group* groups, Put put,
              Pad pad) {
    uint32_t packed = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        // The shapes lie scattered in memory; ask for each a few entries early.
        if (i + 8 < list.count)
            __builtin_prefetch(list.items[i + 8].object);
        if (list.items[i].type != type)
            continue;
        put(groups[packed / sphereGroupLanes], packed % sphereGroupLanes,
            *static_cast<const Shape*>(list.items[i].object));
        ++packed;
    }
    for (; packed < groupsFor(count) * sphereGroupLanes; ++packed)
        pad(groups[packed / sphereGroupLanes], packed % sphereGroupLanes);
}

void placePages(void* start, std::size_t bytes, bool hugePages) {
    if (hugePages)
        adviseHugePages(start, bytes);
    prefaultPages(start, bytes);
}

} // namespace

void packLeafShapes(KdTree& tree, uint32_t leafCount, BuildContext& context) {
    static_assert(triangleGroupLanes == sphereGroupLanes, "one group size for both kinds");
    try {
        tree.leafShapes = new LeafShapes[leafCount];
        uint32_t sphereGroups = 0;
        uint32_t triangleGroups = 0;
        for (uint32_t k = 0; k < leafCount; ++k) {
            LeafShapes& shapes = tree.leafShapes[k];
            shapes = countShapes(tree.leaves[k]);
            if (shapes.sphereCount != 0) {
                shapes.firstSphereGroup = sphereGroups;
                sphereGroups += groupsFor(shapes.sphereCount);
            }
            if (shapes.triangleCount != 0) {
                shapes.firstTriangleGroup = triangleGroups;
                triangleGroups += groupsFor(shapes.triangleCount);
            }
        }
        context.chargeLeafGroups(sphereGroups, triangleGroups);
        const std::size_t sphereBytes = std::size_t{sphereGroups} * sizeof(SphereGroup);
        const std::size_t triangleBytes = std::size_t{triangleGroups} * sizeof(TriangleGroup);
        static_assert(sizeof(SphereGroup) % alignof(TriangleGroup) == 0, "groups back to back");
        if (void* memory =
                context.lists.adopt(sphereBytes + triangleBytes, &tree.groupMemoryBytes)) {
            // Pages the build's lists had in place, which it no longer needs.
            tree.groupMemory = memory;
            tree.sphereGroups = static_cast<SphereGroup*>(memory);
            tree.triangleGroups =
                reinterpret_cast<TriangleGroup*>(static_cast<char*>(memory) + sphereBytes);
            std::uninitialized_default_construct_n(tree.sphereGroups, sphereGroups);
            std::uninitialized_default_construct_n(tree.triangleGroups, triangleGroups);
            prefaultPages(memory, sphereBytes + triangleBytes);
        } else {
            tree.sphereGroups = new SphereGroup[sphereGroups];
            tree.triangleGroups = new TriangleGroup[triangleGroups];
            // Every byte of both arrays is written below: their pages are put
            // in place at once instead of one fault at a time.
            placePages(tree.sphereGroups, sphereBytes, context.options.hugePages);
            placePages(tree.triangleGroups, triangleBytes, context.options.hugePages);
        }
    } catch (...) {
        delete[] tree.sphereGroups;
        delete[] tree.leafShapes;
        tree.sphereGroups = nullptr;
        tree.leafShapes = nullptr;
        throw;
    }
    for (uint32_t k = 0; k < leafCount; ++k) {
        const LeafShapes& shapes = tree.leafShapes[k];
        const PrimitiveList& list = tree.leaves[k];
        if (shapes.sphereCount != 0)
            packKind<Sphere>(list, PrimitiveType::Sphere, shapes.sphereCount,
                             tree.sphereGroups + shapes.firstSphereGroup, putSphere, padSphere);
        if (shapes.triangleCount != 0)
            packKind<Triangle>(list, PrimitiveType::Triangle, shapes.triangleCount,
                               tree.triangleGroups + shapes.firstTriangleGroup, putTriangle,
                               padTriangle);
    }
}

} // namespace vantrel
