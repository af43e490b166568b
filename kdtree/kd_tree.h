// The compiled kd-tree that the tracer walks.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/scene/packed_groups.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// code bits 31..3: index (left child in nodes, or leaf in leaves);
// bit 2: leaf; in a leaf bit 0: empty; in an inner node bits 1..0: axis.
// Read and written only through the functions below.
struct KdTreeNode {
    uint32_t code;
    float split; // undefined in a leaf
};

static_assert(sizeof(KdTreeNode) == 8, "KdTreeNode is two 32-bit words");

constexpr uint32_t kdLeafBit = 4;
constexpr uint32_t kdEmptyBit = 1;
constexpr uint32_t kdAxisMask = 3;
constexpr uint32_t kdIndexShift = 3;

inline bool isLeafNode(const KdTreeNode& node) {
    return (node.code & kdLeafBit) != 0;
}

// Meaningful for a leaf only.
inline bool isEmptyLeaf(const KdTreeNode& node) {
    return (node.code & kdEmptyBit) != 0;
}

// 0 x, 1 y, 2 z. The compiler never writes axis bits 3; every reader takes
// them as z, so a tree made by hand with them is walked alike everywhere and
// no per-axis array is read past its end.
inline uint32_t splitAxis(const KdTreeNode& node) {
    const uint32_t axis = node.code & kdAxisMask;
    return axis == 3 ? 2 : axis;
}

// Index in nodes of an inner node's lower child; the upper one follows it.
inline uint32_t lowerChild(const KdTreeNode& node) {
    return node.code >> kdIndexShift;
}

// Index in leaves of a leaf's list.
inline uint32_t leafIndex(const KdTreeNode& node) {
    return node.code >> kdIndexShift;
}

inline KdTreeNode innerNode(uint32_t axis, float split, uint32_t lowerChildIndex) {
    return {(lowerChildIndex << kdIndexShift) + axis, split};
}

inline KdTreeNode leafNode(uint32_t leaf, bool empty) {
    return {(leaf << kdIndexShift) + kdLeafBit + (empty ? kdEmptyBit : 0), 0.0f};
}

// A leaf's spheres and triangles as packed groups, each kind in the leaf's
// order. A leaf that holds anything else, or nothing, has neither (both
// counts 0) and is tested through its list.
struct LeafShapes {
    uint32_t firstSphereGroup; // in sphereGroups; noGroup without spheres
    uint32_t sphereCount;
    uint32_t firstTriangleGroup; // in triangleGroups; noGroup without triangles
    uint32_t triangleCount;
};

inline bool isPacked(const LeafShapes& shapes) {
    return shapes.sphereCount + shapes.triangleCount != 0;
}

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
    // The spheres and triangles of every leaf that holds nothing else,
    // packed so that several are tested at once: per leaf, in leaf order, as
    // many groups of each kind as its entries need.
    SphereGroup* sphereGroups = nullptr;
    TriangleGroup* triangleGroups = nullptr;
    LeafShapes* leafShapes = nullptr; // per leaf
    // Where both kinds of groups lie in one mapping of their own (the build's
    // list memory, reused), and its size; null where each is an array.
    void* groupMemory = nullptr;
    std::size_t groupMemoryBytes = 0;
};

// A packed leaf's groups of each kind; null where it has none.
inline const SphereGroup* sphereGroupsOf(const KdTree& tree, const LeafShapes& shapes) {
    return shapes.sphereCount != 0 ? tree.sphereGroups + shapes.firstSphereGroup : nullptr;
}
inline const TriangleGroup* triangleGroupsOf(const KdTree& tree, const LeafShapes& shapes) {
    return shapes.triangleCount != 0 ? tree.triangleGroups + shapes.firstTriangleGroup : nullptr;
}

// Calls visit(index, node, depth) for every node reachable from the root,
// each parent before its children and the lower subtree before the upper;
// depth counts the splits above the node.
template <class Visit> void forEachNode(const KdTree& tree, Visit&& visit) {
    struct Pending {
        uint32_t index;
        uint32_t depth;
    };
    // An explicit stack: a tree made by hand may be deeper than any build.
    std::vector<Pending> pending{{0, 0}};
    while (!pending.empty()) {
        const Pending at = pending.back();
        pending.pop_back();
        const KdTreeNode& node = tree.nodes[at.index];
        visit(at.index, node, at.depth);
        if (!isLeafNode(node)) {
            pending.push_back({lowerChild(node) + 1, at.depth + 1});
            pending.push_back({lowerChild(node), at.depth + 1});
        }
    }
}

// Releases every leaf's items, the arrays and the record. Null is allowed.
void releaseKdTree(KdTree* tree);

} // namespace vantrel
