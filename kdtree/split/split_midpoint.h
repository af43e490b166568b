// Split method 0: cut every node at the middle of its box.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

// Grows the subtree below node, depth first, lower child first.
void splitMidpoint(CKdNode& node, const CKdNode& root, int32_t depth);

} // namespace vantrel
