// A kd-tree builder written plainly from the description of the build, with
// none of the production build's speed techniques: node lists are
// std::lists filled by front insertion, every node is split or not by the
// rules as stated, every candidate plane of the cost methods is costed with a
// full pass over the node's list, and the compile step emits nodes depth
// first, one at a time. Far too slow for real scenes; the production build is
// held to it bit for bit, node trees and compiled trees alike.
#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"

namespace vantrel::reference {

struct Node {
    float boundsMin[3];
    float boundsMax[3];
    int32_t axis = 0;
    bool isLeaf = false;
    float split = 0.0f;
    std::unique_ptr<Node> left;  // below the plane
    std::unique_ptr<Node> right; // above it
    std::list<PrimitiveRef> primitives;
};

// The root as the driver loads it: every buildable entry of list, each
// inserted at the front, and its box.
std::unique_ptr<Node> loadRoot(const PrimitiveList& list);

// Sets the node's box around its spheres and triangles.
void computeBounds(Node& node);

// Grows the node tree below a loaded root with method 0, 1 or 2, as the
// driver does.
void growNodeTree(Node& root, int32_t method);

// The cost of cutting [boxMin, boxMax] at position on axis, counting node's
// list; each side's cost is written out, their sum returned.
float evaluateSplit(const Node& node, float* costLower, float* costUpper, int32_t axis,
                    float position, const float boxMin[3], const float boxMax[3], bool emptyRule);

// The plane search of the cost methods over a node whose axis and split hold
// its midpoint plane: leaves the cheapest plane there and returns its cost.
float searchCostPlane(Node& node, int32_t method);

// The compiled tree of a finished node tree, leaves packed; released with
// releaseKdTree.
KdTree* compileKdTree(const Node& root);

// The tree buildKdTree stores; null for a method other than 0, 1 or 2.
KdTree* buildKdTree(const PrimitiveList& list, int32_t method);

} // namespace vantrel::reference
