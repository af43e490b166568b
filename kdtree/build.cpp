// Placeholder until the kd-tree compiler lands: a single leaf over the input.
#include "kdtree/build.h"

namespace vantrel {

void buildKdTree(KdTree** out, const PrimitiveList* list, int32_t) {
    KdTree* tree = new KdTree{};
    tree->nodes = new KdTreeNode[1]{{kdLeafBit, 0.0f}};
    tree->leaves = new PrimitiveList[1]{{new PrimitiveRef[list->count], list->count}};
    for (uint32_t i = 0; i < list->count; ++i)
        tree->leaves[0].items[i] = list->items[i];
    *out = tree;
}

} // namespace vantrel
