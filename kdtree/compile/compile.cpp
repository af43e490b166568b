// The compile step: the finished node tree flattened into the compiled
// tree's arrays.
#include "vantrel/kdtree/compile/compile.h"

#include <cstdint>

#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/page_advice.h"

namespace vantrel {

namespace {

void releaseLeafShapes(KdTree* tree) {
    if (tree->groupMemory != nullptr) {
        releaseListMemory(tree->groupMemory, tree->groupMemoryBytes);
    } else {
        delete[] tree->sphereGroups;
        delete[] tree->triangleGroups;
    }
    delete[] tree->leafShapes;
}

// Calls visit(leaf) for every leaf of node's subtree, in leaf order: depth
// first, the lower subtree before the upper.
template <class Visit> void forEachLeaf(const CKdNode& node, Visit&& visit) {
    if (node.isLeaf) {
        visit(node);
        return;
    }
    forEachLeaf(*node.left, visit);
    forEachLeaf(*node.right, visit);
}

// Writes the codes of node's subtree from nodes[slot], child pairs handed out
// from nextSlot and leaf numbers from nextLeaf.
void emitCodes(const CKdNode& node, uint32_t slot, KdTreeNode* nodes, uint32_t& nextSlot,
               uint32_t& nextLeaf) {
    if (!node.isLeaf) {
        const uint32_t pair = nextSlot;
        nextSlot += 2;
        nodes[slot] = innerNode(static_cast<uint32_t>(node.axis), node.split, pair);
        emitCodes(*node.left, pair, nodes, nextSlot, nextLeaf);
        emitCodes(*node.right, pair + 1, nodes, nextSlot, nextLeaf);
        return;
    }
    nodes[slot] = leafNode(nextLeaf++, node.primitives.empty());
}

// Each leaf's list, copied front to back, in leaf order: all the lists'
// blocks first, so that their pages come a stretch at a time, then their
// entries.
void fillLeaves(KdTree& tree, const CKdNode& root, uint32_t& filled) {
    HeapTopPrefault prefault;
    forEachLeaf(root, [&](const CKdNode& leaf) {
        prefault.ahead += heapBlockBytes(leaf.primitives.size() * sizeof(PrimitiveRef));
    });
    forEachLeaf(root, [&](const CKdNode& leaf) {
        PrimitiveList& list = tree.leaves[filled];
        list.count = leaf.primitives.size();
        list.items = new PrimitiveRef[list.count];
        ++filled;
        prefaultHeapTop(prefault, list.items, list.count * sizeof(PrimitiveRef));
    });
    uint32_t leaf = 0;
    forEachLeaf(root, [&](const CKdNode& node) {
        PrimitiveRef* item = tree.leaves[leaf++].items;
        forEachListEntry(node.primitives, [&](const ListEntry& entry) { *item++ = entry.ref(); });
    });
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

// The codes first, depth first and lower first, then each leaf's list,
// walked run by run: the arrays one emission of node after node would write.
void compileKdTree(const CKdNode& root, KdTree** out) {
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
        uint32_t leafCodes = 0;
        emitCodes(root, 0, tree->nodes, nextSlot, leafCodes);
        fillLeaves(*tree, root, nextLeaf);
    } catch (...) {
        // A half-made tree is of no use to anybody: release it, pass the failure on.
        releaseKdTree(tree, nextLeaf);
        throw;
    }
    *out = tree;
}

void releaseKdTree(KdTree* tree, uint32_t leafCount) {
    for (uint32_t i = 0; i < leafCount; ++i)
        delete[] tree->leaves[i].items;
    delete[] tree->leaves;
    delete[] tree->nodes;
    releaseLeafShapes(tree);
    delete tree;
}

} // namespace vantrel
