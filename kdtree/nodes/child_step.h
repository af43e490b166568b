// The child step: an inner node gets its two children, each with the
// entries of the node that may touch its box.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

// Working storage of the child step, kept by a build from node to node so
// that it is allocated once.
struct ChildStepScratch {
    std::vector<uint8_t> sides; // per entry of the parent: childLower | childUpper
    struct Run {
        uint32_t first;
        uint32_t length;
    };
    std::vector<Run> runs; // the parent's list, as forEachListRun gives it
};

constexpr uint8_t childLower = 1;
constexpr uint8_t childUpper = 2;

// Creates both children of a node whose box, axis and split are set, and
// puts into each (at the front) the spheres and triangles that touch it.
void createChildren(CKdNode& node, ChildStepScratch& scratch);

// The same with storage of its own.
void createChildren(CKdNode& node);

struct ChildSideCounts {
    uint32_t lower = 0;
    uint32_t upper = 0;
};

// The child step's first half for a cut of node's box at split on axis:
// leaves in scratch the side of every entry of the list and the list's runs,
// and counts the entries each side gets.
ChildSideCounts decideChildSides(const CKdNode& node, int32_t axis, float split,
                                 ChildStepScratch& scratch);

} // namespace vantrel
