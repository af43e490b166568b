// The build driver's steps before the compile step.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Inserts every buildable entry of list at the front of root's list, in input
// order, and bounds the root.
void loadRoot(CKdNode& root, const PrimitiveList& list);

// Grows the node tree below a loaded root with method 0, 1 or 2.
void growNodeTree(CKdNode& root, int32_t method);

} // namespace vantrel
