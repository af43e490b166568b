// The compiled kd-tree that the tracer walks.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace vantrel {

class CKdNode;

// code bits 31..3: index (left child in nodes, or leaf in leaves);
// bit 2: leaf; in a leaf bit 0: empty; in an inner node bits 1..0: axis.
struct KdTreeNode {
    uint32_t code;
    float split; // undefined in a leaf
};

static_assert(sizeof(KdTreeNode) == 8, "KdTreeNode is two 32-bit words");

constexpr uint32_t kdLeafBit = 4;
constexpr uint32_t kdEmptyBit = 1;
constexpr uint32_t kdAxisMask = 3;
constexpr uint32_t kdIndexShift = 3;

constexpr uint32_t sphereGroupLanes = 8;

// Up to sphereGroupLanes consecutive spheres of a leaf, by component so that
// a vector unit loads a row at once. Lanes past the leaf's end hold NaN,
// which no sphere test accepts, and a null sphere.
struct alignas(64) SphereGroup {
    float x[sphereGroupLanes]; // centres
    float y[sphereGroupLanes];
    float z[sphereGroupLanes];
    float radius[sphereGroupLanes];
    // Where the winner's material is read; next to the rows, so usually cached.
    const Sphere* sphere[sphereGroupLanes];
};

struct KdTree {
    float boundsMin[3];
    float boundsMax[3];
    KdTreeNode* nodes;     // entry 0 is the root; children lie in adjacent pairs
    PrimitiveList* leaves; // one list per leaf
    uint32_t rayCount;
    uint32_t emptyLeafCount;
    uint32_t nodeVisitCount;
    // What follows only speeds up the walk; the leaves above stay the truth,
    // and a tree made by hand may leave these null.
    //
    // The spheres of every leaf that holds nothing but spheres, packed so that
    // several are tested at once: per leaf, in leaf order, as many groups as
    // its entries need.
    SphereGroup* sphereGroups = nullptr;
    // Per leaf, the index of its first group in sphereGroups, or noSphereGroup
    // for a leaf with other entries (or none).
    uint32_t* sphereGroupStart = nullptr;
};

constexpr uint32_t noSphereGroup = 0xffffffffu;

// Flattens a finished node tree into a new KdTree stored through out. out is
// written only once the tree is complete; if an allocation fails, what was
// made is released and the exception passes on.
void compileKdTree(const CKdNode& root, KdTree** out);

// Adds the nodes (and the leaves among them) of the subtree at node.
void countNodes(const CKdNode& node, uint32_t& nodeCount, uint32_t& leafCount);

// Writes node at nodes[slot] and its subtree below it. Child pairs are handed
// out from nextSlot and leaf lists from nextLeaf, depth first, lower first.
void emitNode(const CKdNode& node, uint32_t slot, KdTree& tree, uint32_t& nextSlot,
              uint32_t& nextLeaf);

// Fills sphereGroups and sphereGroupStart of a tree whose leaves are set.
void packLeafSpheres(KdTree& tree, uint32_t leafCount);

// Releases every leaf's items, the arrays and the record. Null is allowed.
void releaseKdTree(KdTree* tree);

} // namespace vantrel
