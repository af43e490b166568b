// The leaf test and the axis rule shared by every split method.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

// True when the node must stay a leaf: at most 3 entries, no depth budget
// left, or thinner than 0.03 of root on some axis.
bool passesLeafTest(const CKdNode& node, const CKdNode& root, int32_t depth);

// The leaf test but for its entry count: whether a node with this box, at
// this depth, below a root with that box, is split when it holds enough
// entries.
bool boxSplits(const float boxMin[3], const float boxMax[3], const float rootMin[3],
               const float rootMax[3], int32_t depth);

// 0, then 1 when ey > ex, then 2 when ez > ey.
int32_t chooseSplitAxis(const CKdNode& node);
int32_t chooseSplitAxis(const float boxMin[3], const float boxMax[3]);

// The first step of every split method: a node that passes the leaf test
// becomes a leaf (false); any other is marked inner and given the axis rule's
// axis and the middle of its box on that axis as its split (true).
bool startSplit(CKdNode& node, const CKdNode& root, int32_t depth);

} // namespace vantrel
