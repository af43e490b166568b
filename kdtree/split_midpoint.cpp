#include "vantrel/kdtree/split_midpoint.h"

#include "vantrel/kdtree/split_rules.h"

namespace vantrel {

namespace {

void growMidpoint(CKdNode& node, const CKdNode& root, int32_t depth, ChildStepScratch& scratch,
                  BuildSteps steps) {
    if (!startSplit(node, root, depth))
        return;
    createChildrenWith(node, scratch, steps);
    growMidpoint(*node.left, root, depth - 1, scratch, steps);
    growMidpoint(*node.right, root, depth - 1, scratch, steps);
}

} // namespace

void splitMidpoint(CKdNode& node, const CKdNode& root, int32_t depth) {
    splitMidpointWith(node, root, depth, BuildSteps::Fast);
}

void splitMidpointWith(CKdNode& node, const CKdNode& root, int32_t depth, BuildSteps steps) {
    ChildStepScratch scratch;
    growMidpoint(node, root, depth, scratch, steps);
}

} // namespace vantrel
