// The build-time node tree: every node carries its box and the references
// that may touch it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/kdtree/nodes/build_context.h"
#include "vantrel/kdtree/nodes/node_list.h"

namespace vantrel {

class CKdNode {
  public:
    // A node of the build that context holds, with an empty list.
    explicit CKdNode(BuildContext& context) : primitives(context) {}
    CKdNode(const CKdNode&) = delete;
    CKdNode& operator=(const CKdNode&) = delete;
    // Destroys left, then right, then releases the list.
    virtual ~CKdNode();

    // Nodes below the root come from their build's pool (makeNode), and
    // their memory goes back with the build, not one by one. A class derived
    // from it, of another size, brings its own operator new, and its memory
    // goes back to the general heap.
    static void* operator new(std::size_t size) = delete;
    static void operator delete(void* node, std::size_t size) noexcept;

    BuildContext& context() const { return primitives.context(); }

    float boundsMin[3];
    float boundsMax[3];
    int32_t axis;
    bool isLeaf;
    float split;
    CKdNode* left = nullptr;     // below the plane; owned
    CKdNode* right = nullptr;    // above the plane; owned
    PrimitiveRefList primitives; // inserted at the front only
};

// A new node of context's build, in its pool; deleted like any node.
CKdNode* makeNode(BuildContext& context);

// Sets the node's box around its spheres and triangles; a list without any
// leaves the inverted box (+max float .. -max float).
void computeBounds(CKdNode& node);

// The same box around the entries of list that a build takes in.
void boundsOfBuildable(const PrimitiveList& list, float boundsMin[3], float boundsMax[3]);

} // namespace vantrel
