#include "kdtree/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kdtree/kd_node.h"
#include "kdtree/page_advice.h"

namespace vantrel {

namespace {

void releaseSphereGroups(KdTree* tree) {
    delete[] tree->sphereGroups;
    delete[] tree->sphereGroupStart;
}

bool holdsOnlySpheres(const PrimitiveList& list) {
    if (list.count == 0)
        return false;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.items[i].type != PrimitiveType::Sphere)
            return false;
    }
    return true;
}

uint32_t groupsFor(uint32_t count) {
    return (count + sphereGroupLanes - 1) / sphereGroupLanes;
}

// Writes the spheres of list into its groups, NaN and null past the end.
void packGroups(const PrimitiveList& list, SphereGroup* groups) {
    for (uint32_t g = 0; g < groupsFor(list.count); ++g) {
        SphereGroup& group = groups[g];
        for (uint32_t lane = 0; lane < sphereGroupLanes; ++lane) {
            const uint32_t i = g * sphereGroupLanes + lane;
            if (i >= list.count) {
                group.x[lane] = group.y[lane] = group.z[lane] = group.radius[lane] = NAN;
                group.sphere[lane] = nullptr;
                continue;
            }
            // The spheres lie scattered in memory; ask for each a few entries early.
            if (i + 8 < list.count)
                __builtin_prefetch(list.items[i + 8].object);
            const Sphere& s = *static_cast<const Sphere*>(list.items[i].object);
            group.x[lane] = s.centre.x;
            group.y[lane] = s.centre.y;
            group.z[lane] = s.centre.z;
            group.radius[lane] = s.radius;
            group.sphere[lane] = &s;
        }
    }
}

// Releases the items of leaves [0, leafCount) and the rest of a tree whose
// emission stopped part-way.
void releasePartial(KdTree* tree, uint32_t leafCount) {
    for (uint32_t i = 0; i < leafCount; ++i)
        delete[] tree->leaves[i].items;
    delete[] tree->leaves;
    delete[] tree->nodes;
    releaseSphereGroups(tree);
    delete tree;
}

// emitNode without the leaves' lists: writes the codes of node's subtree from
// nodes[slot] and adds its leaves, in leaf order, to leafNodes.
void emitCodes(const CKdNode& node, uint32_t slot, KdTreeNode* nodes, uint32_t& nextSlot,
               std::vector<const CKdNode*>& leafNodes) {
    if (!node.isLeaf) {
        const uint32_t pair = nextSlot;
        nextSlot += 2;
        nodes[slot] = innerNode(static_cast<uint32_t>(node.axis), node.split, pair);
        emitCodes(*node.left, pair, nodes, nextSlot, leafNodes);
        emitCodes(*node.right, pair + 1, nodes, nextSlot, leafNodes);
        return;
    }
    nodes[slot] = leafNode(static_cast<uint32_t>(leafNodes.size()), node.primitives.empty());
    leafNodes.push_back(&node);
}

// The leaves' lists of emitNode and the groups of packLeafSpheres in one
// pass: each leaf's spheres are packed while its items are still in cache.
// nextLeaf counts the leaves whose items are made.
void fillLeaves(KdTree& tree, const std::vector<const CKdNode*>& leafNodes, uint32_t& nextLeaf) {
    const uint32_t leafCount = static_cast<uint32_t>(leafNodes.size());
    // Room for every leaf as if it held only spheres; the part that others
    // leave unused is never touched, so it takes address space only.
    uint64_t groupBound = 0;
    for (const CKdNode* leaf : leafNodes)
        groupBound += groupsFor(leaf->primitives.size());
    tree.sphereGroupStart = new uint32_t[leafCount];
    tree.sphereGroups = new SphereGroup[groupBound];
    adviseHugePages(tree.sphereGroups, groupBound * sizeof(SphereGroup));
    uint32_t groups = 0;
    // Pages of the groups are put in place a huge page's worth at a time,
    // just ahead of the packing.
    char* const groupBytes = reinterpret_cast<char*>(tree.sphereGroups);
    std::size_t prefaulted = 0;
    for (uint32_t k = 0; k < leafCount; ++k) {
        const PrimitiveRefList& entries = leafNodes[k]->primitives;
        PrimitiveList& list = tree.leaves[k];
        list.count = entries.size();
        list.items = new PrimitiveRef[list.count];
        ++nextLeaf;
        bool onlySpheres = list.count != 0;
        uint32_t i = 0;
        forEachListEntry(entries, [&](const ListEntry& entry) {
            list.items[i++] = entry.ref;
            onlySpheres = onlySpheres && entry.ref.type == PrimitiveType::Sphere;
        });
        tree.sphereGroupStart[k] = onlySpheres ? groups : noSphereGroup;
        if (onlySpheres) {
            const std::size_t end =
                (std::size_t{groups} + groupsFor(list.count)) * sizeof(SphereGroup);
            if (end > prefaulted) {
                const std::size_t ahead =
                    std::min<std::size_t>(end + hugePageBytes, groupBound * sizeof(SphereGroup));
                prefaultPages(groupBytes + prefaulted, ahead - prefaulted);
                prefaulted = ahead;
            }
            packGroups(list, tree.sphereGroups + groups);
            groups += groupsFor(list.count);
        }
    }
}

} // namespace

void countNodes(const CKdNode& node, uint32_t& nodeCount, uint32_t& leafCount) {
    ++nodeCount;
    if (node.isLeaf) {
        ++leafCount;
        return;
    }
    countNodes(*node.left, nodeCount, leafCount);
    countNodes(*node.right, nodeCount, leafCount);
}

void emitNode(const CKdNode& node, uint32_t slot, KdTree& tree, uint32_t& nextSlot,
              uint32_t& nextLeaf) {
    KdTreeNode& entry = tree.nodes[slot];
    if (!node.isLeaf) {
        const uint32_t pair = nextSlot;
        nextSlot += 2;
        entry = innerNode(static_cast<uint32_t>(node.axis), node.split, pair);
        emitNode(*node.left, pair, tree, nextSlot, nextLeaf);
        emitNode(*node.right, pair + 1, tree, nextSlot, nextLeaf);
        return;
    }
    const uint32_t leaf = nextLeaf;
    const uint32_t count = static_cast<uint32_t>(node.primitives.size());
    entry = leafNode(leaf, count == 0);
    PrimitiveList& list = tree.leaves[leaf];
    list.items = new PrimitiveRef[count];
    list.count = count;
    uint32_t i = 0;
    for (const PrimitiveRef& ref : node.primitives)
        list.items[i++] = ref;
    ++nextLeaf;
}

void compileKdTree(const CKdNode& root, KdTree** out) {
    compileKdTreeWith(root, out, BuildSteps::Fast);
}

void compileKdTreeWith(const CKdNode& root, KdTree** out, BuildSteps steps) {
    uint32_t nodeCount = 0;
    uint32_t leafCount = 0;
    countNodes(root, nodeCount, leafCount);

    KdTree* tree = new KdTree{};
    uint32_t nextLeaf = 0;
    try {
        tree->leaves = new PrimitiveList[leafCount];
        tree->nodes = new KdTreeNode[nodeCount];
        for (int k = 0; k < 3; ++k) {
            tree->boundsMin[k] = root.boundsMin[k];
            tree->boundsMax[k] = root.boundsMax[k];
        }
        uint32_t nextSlot = 1;
        if (steps == BuildSteps::Literal) {
            emitNode(root, 0, *tree, nextSlot, nextLeaf);
            packLeafSpheres(*tree, leafCount);
        } else {
            std::vector<const CKdNode*> leafNodes;
            leafNodes.reserve(leafCount);
            emitCodes(root, 0, tree->nodes, nextSlot, leafNodes);
            fillLeaves(*tree, leafNodes, nextLeaf);
        }
    } catch (...) {
        // A half-made tree is of no use to anybody: release it, pass the failure on.
        releasePartial(tree, nextLeaf);
        throw;
    }
    *out = tree;
}

void packLeafSpheres(KdTree& tree, uint32_t leafCount) {
    tree.sphereGroupStart = new uint32_t[leafCount];
    uint32_t groups = 0;
    for (uint32_t k = 0; k < leafCount; ++k) {
        const PrimitiveList& list = tree.leaves[k];
        tree.sphereGroupStart[k] = holdsOnlySpheres(list) ? groups : noSphereGroup;
        if (tree.sphereGroupStart[k] != noSphereGroup)
            groups += groupsFor(list.count);
    }
    tree.sphereGroups = new SphereGroup[groups];
    for (uint32_t k = 0; k < leafCount; ++k) {
        const uint32_t first = tree.sphereGroupStart[k];
        if (first != noSphereGroup)
            packGroups(tree.leaves[k], tree.sphereGroups + first);
    }
}

void releaseKdTree(KdTree* tree) {
    if (tree == nullptr)
        return;
    forEachNode(*tree, [tree](uint32_t, const KdTreeNode& node, uint32_t) {
        if (isLeafNode(node))
            delete[] tree->leaves[leafIndex(node)].items;
    });
    delete[] tree->leaves;
    delete[] tree->nodes;
    releaseSphereGroups(tree);
    delete tree;
}

} // namespace vantrel
