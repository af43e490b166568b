// The queries' own hierarchy of boxes over a scene's spheres and triangles:
// eight children a node, tested at once, and leaves of at most eight
// shapes, each kind one packed group. A single ray walks it faster than the
// kd-tree, whose cells suit the renderer's packets of coherent rays better.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/scene/packed_groups.h"
#include "vantrel/scene/records.h"

namespace vantrel {

constexpr uint32_t bvhWidth = 8;

// A child is an inner node's index, or leafChild plus a leaf's index;
// noChild fills the slots past a node's last child, whose box is empty.
constexpr uint32_t leafChild = 0x80000000u;
constexpr uint32_t noChild = 0xffffffffu;

// Children's boxes by component, so that a vector unit tests a row at once.
struct alignas(64) BvhNode {
    float lowerX[bvhWidth];
    float upperX[bvhWidth];
    float lowerY[bvhWidth];
    float upperY[bvhWidth];
    float lowerZ[bvhWidth];
    float upperZ[bvhWidth];
    uint32_t child[bvhWidth];
};

// Splits below this depth halve a node's count, so no walk goes deeper
// than twice it.
constexpr uint32_t bvhSahDepth = 32;
// A walk defers at most bvhWidth - 1 children a level.
constexpr uint32_t bvhStackSize = (bvhWidth - 1) * 2 * bvhSahDepth + 1;

struct QueryBvh {
    float boundsMin[3];
    float boundsMax[3];
    uint32_t root = noChild; // a child code; noChild for no shapes
    std::vector<BvhNode> nodes;
    // Leaf k's shapes, in the list's order, are group k of each kind, whose
    // lanes past them are padding; an array is empty where the scene has
    // none of its kind.
    std::vector<SphereGroup> sphereGroups;
    std::vector<TriangleGroup> triangleGroups;
    // Each lane's index in the list, lane by lane as the groups; noEntry on
    // padding. Read only to settle a tie.
    std::vector<uint32_t> sphereEntries;
    std::vector<uint32_t> triangleEntries;
};

// Builds the hierarchy over the entries of list that isBuildable takes. May
// throw std::bad_alloc.
void buildQueryBvh(QueryBvh& bvh, const PrimitiveList& list);

} // namespace vantrel
