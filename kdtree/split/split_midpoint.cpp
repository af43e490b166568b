#include "vantrel/kdtree/split/split_midpoint.h"

#include "vantrel/kdtree/nodes/child_step.h"
#include "vantrel/kdtree/split/split_rules.h"

namespace vantrel {

namespace {

void growMidpoint(CKdNode& node, const CKdNode& root, int32_t depth, ChildStepScratch& scratch) {
    if (!startSplit(node, root, depth))
        return;
    createChildren(node, scratch);
    growMidpoint(*node.left, root, depth - 1, scratch);
    growMidpoint(*node.right, root, depth - 1, scratch);
}

} // namespace

void splitMidpoint(CKdNode& node, const CKdNode& root, int32_t depth) {
    ChildStepScratch scratch;
    growMidpoint(node, root, depth, scratch);
}

} // namespace vantrel
