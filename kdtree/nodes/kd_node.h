// The build-time node tree: every node carries its box and the references
// that may touch it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vantrel/kdtree/nodes/node_list.h"
#include "vantrel/kdtree/nodes/sphere_gap.h"
#include "vantrel/scene/records.h"

namespace vantrel {

class CKdNode {
  public:
    CKdNode() = default;
    CKdNode(const CKdNode&) = delete;
    CKdNode& operator=(const CKdNode&) = delete;
    // Destroys left, then right, then releases the list.
    virtual ~CKdNode();

    // Nodes on the heap come from a pool of their own: a build makes and
    // drops them by the hundred thousand. Classes derived from it, of another
    // size, take the general heap.
    static void* operator new(std::size_t size);
    static void operator delete(void* node, std::size_t size) noexcept;

    float boundsMin[3];
    float boundsMax[3];
    int32_t axis;
    bool isLeaf;
    float split;
    CKdNode* left = nullptr;     // below the plane; owned
    CKdNode* right = nullptr;    // above the plane; owned
    PrimitiveRefList primitives; // inserted at the front only
};

// Sets the node's box around its spheres and triangles; a list without any
// leaves the inverted box (+max float .. -max float).
void computeBounds(CKdNode& node);

// The sum from 0, axis by axis in the order x, y, z, of sphereGapSquared
// against the radius squared.
bool sphereTouchesBox(const Sphere& sphere, const float boxMin[3], const float boxMax[3]);

// Whether the triangle may touch the box, faces, edges and corners included:
// never false for one that does, false for one apart from it by more than
// a hair of its size, and always false when all three corners lie below boxMin on some
// axis. Monotone: what touches a box touches every box around it.
bool triangleTouchesBox(const Triangle& triangle, const float boxMin[3], const float boxMax[3]);

// Working storage of the child step, kept by a build from node to node so
// that it is allocated once, and released with the build's scope.
struct ChildStepScratch {
    std::vector<uint8_t> sides; // per entry of the parent: childLower | childUpper
    struct Run {
        uint32_t first;
        uint32_t length;
    };
    std::vector<Run> runs; // the parent's list, as forEachListRun gives it
};

constexpr uint8_t childLower = 1;
constexpr uint8_t childUpper = 2;

// Creates both children of a node whose box, axis and split are set, and
// puts into each (at the front) the spheres and triangles that touch it.
void createChildren(CKdNode& node, ChildStepScratch& scratch);

// The same with storage of its own.
void createChildren(CKdNode& node);

struct ChildSideCounts {
    uint32_t lower = 0;
    uint32_t upper = 0;
};

// The child step's first half for a cut of node's box at split on axis:
// leaves in scratch the side of every entry of the list and the list's runs,
// and counts the entries each side gets.
ChildSideCounts decideChildSides(const CKdNode& node, int32_t axis, float split,
                                 ChildStepScratch& scratch);

} // namespace vantrel
