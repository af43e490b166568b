// The queries' hierarchy of boxes over a scene's spheres and triangles:
// eight children a node, whose boxes a vector unit tests at once, and
// leaves of up to eight shapes of one kind, stored once each, by component,
// in one array. A single ray walks it faster than the kd-tree, whose cells
// suit the renderer's packets of coherent rays better.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "vantrel/scene/records.h"

namespace vantrel {

constexpr uint32_t bvhWidth = 8;

// A child is an inner node's index, or a leaf: leafChild, sphereLeaf for
// spheres, its shapes' count less one, and the slot of its first shape.
// noChild fills the slots past a node's last child, whose box is empty.
constexpr uint32_t leafChild = 0x80000000u;
constexpr uint32_t sphereLeaf = 0x40000000u;
constexpr uint32_t leafCountShift = 27;
constexpr uint32_t mostInBvhLeaf = 8;
constexpr uint32_t bvhSlotMask = (1u << leafCountShift) - 1;
constexpr uint32_t noChild = 0xffffffffu;

// The most shapes a hierarchy holds: a slot is 27 bits.
constexpr uint32_t mostBvhShapes = bvhSlotMask + 1;

inline bool isLeafChild(uint32_t child) {
    return (child & leafChild) != 0;
}
inline bool isSphereLeaf(uint32_t child) {
    return (child & sphereLeaf) != 0;
}
inline uint32_t leafCount(uint32_t child) {
    return ((child >> leafCountShift) & (mostInBvhLeaf - 1)) + 1;
}
inline uint32_t leafSlot(uint32_t child) {
    return child & bvhSlotMask;
}
inline uint32_t leafChildOf(bool spheres, uint32_t count, uint32_t slot) {
    return leafChild | (spheres ? sphereLeaf : 0) | (count - 1) << leafCountShift | slot;
}

// Children's boxes by component, lower and upper by axis, so that a vector
// unit tests a row at once.
struct alignas(64) BvhNode {
    float lowerX[bvhWidth];
    float upperX[bvhWidth];
    float lowerY[bvhWidth];
    float upperY[bvhWidth];
    float lowerZ[bvhWidth];
    float upperZ[bvhWidth];
    uint32_t child[bvhWidth];
};

// A leaf of count shapes starting at slot s holds, at leafFloats * s in
// the hierarchy's shape array, one row of count floats for each of its
// shapes' numbers, then one of their indices (bit for bit): a triangle's
// corners x0 y0 z0 x1 y1 z1 x2 y2 z2, a sphere's centre x y z and radius.
// A row is read eight floats at a time: the floats past a leaf's count
// belong to the next row or leaf, or to padding at the array's end, and
// the tests leave those lanes out.
constexpr uint32_t triangleRows = 9;
constexpr uint32_t sphereRows = 4;
constexpr size_t shapeArrayPadding = 2 * bvhWidth;

// Splits below this depth halve a node's count, so no walk goes deeper
// than twice it.
constexpr uint32_t bvhSahDepth = 32;
// A walk defers at most bvhWidth - 1 children a level.
constexpr uint32_t bvhStackSize = (bvhWidth - 1) * 2 * bvhSahDepth + 1;

struct FreeAligned {
    void operator()(void* memory) const;
};

struct QueryBvh {
    float boundsMin[3] = {0.0f, 0.0f, 0.0f};
    float boundsMax[3] = {0.0f, 0.0f, 0.0f};
    uint32_t root = noChild; // a child code; noChild for no shapes
    uint32_t nodeCount = 0;
    uint32_t shapeCount = 0;
    // Floats a shape takes in the shape array: a row of each of its numbers
    // and one of its index (both kinds the triangles' where any is one).
    uint32_t leafFloats = 0;
    std::unique_ptr<BvhNode[], FreeAligned> nodes;
    std::unique_ptr<float[], FreeAligned> shapes;
    // Where the list the hierarchy was built from keeps its shapes' records
    // one after another, index by index, as the mesh readers lay them out:
    // the record of index i at records + i * recordStride, which a walk asks
    // memory for ahead of a hit's reading it. Set by the query scene's
    // build, which looks; recordStride 0 where they lie otherwise.
    uintptr_t records = 0;
    uint32_t recordStride = 0;
    // Where every shape is of one material, bit for bit (a mesh file's
    // records; white for shapes given as arrays), that material, which a hit
    // then takes without reading its record.
    bool oneMaterial = false;
    Material material{};
};

// Where the record of index lies, in a hierarchy with recordStride set.
inline uintptr_t recordAddress(const QueryBvh& bvh, uint32_t index) {
    return bvh.records + uintptr_t{index} * bvh.recordStride;
}

// The material every shape of bvh is of; null where they differ.
inline const Material* sharedMaterial(const QueryBvh& bvh) {
    return bvh.oneMaterial ? &bvh.material : nullptr;
}

// A leaf's rows.
inline const float* leafRows(const QueryBvh& bvh, uint32_t child) {
    return bvh.shapes.get() + size_t{bvh.leafFloats} * leafSlot(child);
}

// The index of a leaf's shape: the entry of the list, or the triangle of
// the arrays, it was built from.
inline uint32_t leafShapeIndex(const float* rows, uint32_t rowCount, uint32_t count,
                               uint32_t lane) {
    uint32_t index;
    std::memcpy(&index, rows + rowCount * count + lane, sizeof index);
    return index;
}

// The bytes the hierarchy's arrays take.
size_t bvhBytes(const QueryBvh& bvh);

} // namespace vantrel
