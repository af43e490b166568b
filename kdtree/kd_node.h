// The build-time node tree: every node carries its box and the references
// that may touch it.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

#include "vantrel/kdtree/pool_allocator.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// A node's references; entries come from a pool that a build empties again.
using PrimitiveRefList = std::list<PrimitiveRef, PoolAllocator<PrimitiveRef>>;

class CKdNode {
  public:
    CKdNode() = default;
    CKdNode(const CKdNode&) = delete;
    CKdNode& operator=(const CKdNode&) = delete;
    // Destroys left, then right, then releases the list.
    virtual ~CKdNode();

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

bool sphereTouchesBox(const Sphere& sphere, const float boxMin[3], const float boxMax[3]);

// Whether the triangle may touch the box, faces, edges and corners included:
// never false for one that does, false for one apart from it by more than
// a hair of its size, and always false when all three corners lie below boxMin on some
// axis. Monotone: what touches a box touches every box around it.
bool triangleTouchesBox(const Triangle& triangle, const float boxMin[3], const float boxMax[3]);

// Working storage of the child step, kept by a build from node to node so
// that it is allocated once, and released with the build's scope.
struct ChildStepScratch {
    struct Entry {
        PrimitiveRef ref;
        bool toLower;
        bool toUpper;
    };
    std::vector<Entry> entries;
};

// Creates both children of a node whose box, axis and split are set, and
// puts into each (at the front) the spheres and triangles that touch it.
void createChildren(CKdNode& node, ChildStepScratch& scratch);

// The same with storage of its own.
void createChildren(CKdNode& node);

} // namespace vantrel
