// Shape figures of a compiled kd-tree, read by following codes from the root.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"

namespace vantrel {

struct TreeStats {
    uint64_t nodes;
    uint64_t leaves;
    uint64_t emptyLeaves;
    uint64_t references; // summed over all leaves; a primitive in k leaves counts k times
    uint32_t maxLeaf;    // most references in one leaf
    uint32_t depth;      // most splits on a root-to-leaf path
};

TreeStats measureKdTree(const KdTree& tree);

// Mean references per leaf that holds any; 0 when none does.
double averageLeafReferences(const TreeStats& stats);

} // namespace vantrel
