// The compile step: a finished node tree flattened into a compiled tree, and
// its leaves' packed groups.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/build_context.h"
#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

// Flattens a finished node tree into a new KdTree stored through out, its
// leaves not yet packed (packLeafShapes). out is written only once the tree
// is complete; if an allocation fails, what was made is released and the
// exception passes on.
void compileKdTree(const CKdNode& root, KdTree** out);

// Adds the nodes (and the leaves among them) of the subtree at node.
void countNodes(const CKdNode& node, uint32_t& nodeCount, uint32_t& leafCount);

// Fills sphereGroups, triangleGroups and leafShapes of a tree whose leaves
// are set, charged to context's budget; a large tree's groups take over the
// memory the build's lists held, which must all be gone. If an allocation
// fails, the tree is left without them and the exception passes on.
void packLeafShapes(KdTree& tree, uint32_t leafCount, BuildContext& context);

// releaseKdTree for the first leafCount leaves alone, without a walk of the
// nodes, so without allocating: for a tree whose making failed part-way.
void releaseKdTree(KdTree* tree, uint32_t leafCount);

} // namespace vantrel
