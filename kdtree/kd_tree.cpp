#include "vantrel/kdtree/kd_tree.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/kdtree/memory/page_advice.h"
#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

namespace {

void releaseLeafShapes(KdTree* tree) {
    if (tree->groupMemory != nullptr) {
        releaseAdoptedMemory(tree->groupMemory, tree->groupMemoryBytes);
    } else {
        delete[] tree->sphereGroups;
        delete[] tree->triangleGroups;
    }
    delete[] tree->leafShapes;
}

// Writes the codes of node's subtree from nodes[slot], child pairs handed out
// from nextSlot, and adds its leaves, in leaf order, to leafNodes.
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

// Each leaf's list, copied front to back, in leaf order.
void fillLeaves(KdTree& tree, const std::vector<const CKdNode*>& leafNodes, uint32_t& nextLeaf) {
    const uint32_t leafCount = static_cast<uint32_t>(leafNodes.size());
    HeapTopPrefault prefault;
    for (const CKdNode* leaf : leafNodes)
        prefault.ahead += heapBlockBytes(leaf->primitives.size() * sizeof(PrimitiveRef));
    for (uint32_t k = 0; k < leafCount; ++k) {
        PrimitiveList& list = tree.leaves[k];
        list.count = leafNodes[k]->primitives.size();
        list.items = new PrimitiveRef[list.count];
        ++nextLeaf;
        prefaultHeapTop(prefault, list.items, list.count * sizeof(PrimitiveRef));
    }
    for (uint32_t k = 0; k < leafCount; ++k) {
        PrimitiveRef* item = tree.leaves[k].items;
        forEachListEntry(leafNodes[k]->primitives,
                         [&](const ListEntry& entry) { *item++ = entry.ref(); });
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
        std::vector<const CKdNode*> leafNodes;
        leafNodes.reserve(leafCount);
        emitCodes(root, 0, tree->nodes, nextSlot, leafNodes);
        fillLeaves(*tree, leafNodes, nextLeaf);
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

void releaseKdTree(KdTree* tree) {
    if (tree == nullptr)
        return;
    forEachNode(*tree, [tree](uint32_t, const KdTreeNode& node, uint32_t) {
        if (isLeafNode(node))
            delete[] tree->leaves[leafIndex(node)].items;
    });
    delete[] tree->leaves;
    delete[] tree->nodes;
    releaseLeafShapes(tree);
    delete tree;
}

} // namespace vantrel
