// The build driver's steps, for what must watch them: tests that compare
// node trees with the reference builder's, or that read what a build took.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/build_context.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Inserts every buildable entry of list at the front of root's list, in input
// order, and bounds the root.
void loadRoot(CKdNode& root, const PrimitiveList& list);

// Grows the node tree below a loaded root with method 0, 1 or 2.
void growNodeTree(CKdNode& root, int32_t method);

// The whole build of list with method 0, 1 or 2 in context, which holds
// whatever of it is left once it returns or throws; the new tree, or
// std::bad_alloc as from a failed allocation (context.budget.exceeded() when
// the budget stopped it), with the node tree released.
KdTree* buildInContext(const PrimitiveList& list, int32_t method, BuildContext& context);

} // namespace vantrel
