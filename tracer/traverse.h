// Walks of a compiled kd-tree, front to back along a ray.
#pragma once

#include "kdtree/kd_tree.h"
#include "scene/records.h"

namespace vantrel {

// Counts the ray in tree.rayCount, clips it to the tree's box and walks the
// tree. Non-zero when a hit was accepted; it is then in hitRecord.
int intersectKdTree(KdTree& tree, const Ray& ray);

// The iterative walk over the subtree at node for the stretch [entry, exit].
int traverseKdTree(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry, float exit);

// The same walk, recursive, keeping nodeVisitCount and emptyLeafCount.
int traverseKdTreeRecursive(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                            float exit);

} // namespace vantrel
