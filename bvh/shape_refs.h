// What the hierarchy's build sorts: a box and an index for every shape, and
// the leaves it packs from them.
#pragma once

#include <algorithm>
#include <cstdint>

#include "vantrel/bvh/build_bvh.h"

namespace vantrel {

struct Box {
    float lower[3];
    float upper[3];
};

inline Box emptyBox() {
    constexpr float big = 3.4028235e38f;
    return {{big, big, big}, {-big, -big, -big}};
}

inline void grow(Box& box, const Box& other) {
    for (int k = 0; k < 3; ++k) {
        box.lower[k] = std::min(box.lower[k], other.lower[k]);
        box.upper[k] = std::max(box.upper[k], other.upper[k]);
    }
}

// Child k's box in a node.
inline void setChildBox(BvhNode& node, uint32_t k, const Box& box) {
    node.lowerX[k] = box.lower[0];
    node.lowerY[k] = box.lower[1];
    node.lowerZ[k] = box.lower[2];
    node.upperX[k] = box.upper[0];
    node.upperY[k] = box.upper[1];
    node.upperZ[k] = box.upper[2];
}

// Half the surface, which is all the cost model compares; 0 for an empty
// box.
inline float halfArea(const Box& box) {
    const float x = box.upper[0] - box.lower[0];
    const float y = box.upper[1] - box.lower[1];
    const float z = box.upper[2] - box.lower[2];
    return x < 0.0f ? 0.0f : x * y + y * z + z * x;
}

// A shape's box, which of the input's shapes it is, and its kind.
struct ShapeRef {
    Box box;
    uint32_t index;  // the list's entry, or the arrays' triangle
    uint32_t sphere; // 1 for a sphere
};
static_assert(sizeof(ShapeRef) == 32, "two to a line");

// Twice the centre of the shape's box on axis k: what binning compares.
inline float doubledCentre(const ShapeRef& ref, int k) {
    return ref.box.lower[k] + ref.box.upper[k];
}

// The refs of the input's shapes that can be built over, in the input's
// order, written to refs (room for every shape of the input): their count.
// Shared out on threads in pieces whose results join in order.
uint32_t makeShapeRefs(const BvhInput& input, const BuildThreads& threads, ShapeRef* refs);

// Whether the input holds any triangle (the shape array's rows are then the
// triangles' for both kinds).
bool hasTriangles(const BvhInput& input);

// Writes the leaf of count refs of one kind, from ref first on, to its
// place in bvh's shape array (its first ref's slot), its shapes in the
// order of their indices, and gives its child code. Sorts the refs.
uint32_t packLeaf(QueryBvh& bvh, const BvhInput& input, ShapeRef* refs, uint32_t first,
                  uint32_t count);

} // namespace vantrel
