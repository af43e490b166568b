// Walks of a compiled kd-tree, front to back along a ray.
#pragma once

#include "kdtree/kd_tree.h"
#include "scene/records.h"

namespace vantrel {

// Deferred far children of the iterative walk. One instance serves every
// walk, so walks must not nest.
constexpr int traversalStackSize = 100;

// Counts the ray in tree.rayCount, clips it to the tree's box and walks the
// tree. Non-zero when a hit was accepted; it is then in hitRecord.
int intersectKdTree(KdTree& tree, const Ray& ray);

// Whether the tree's box has no depth on some axis (a planar mesh).
bool hasFlatBox(const KdTree& tree);

// The stretch [entry, exit] of the ray inside the tree's box, entry raised to
// 0.001; inverse holds the reciprocals of the ray's direction. False when the
// ray misses the box or its stretch there is empty.
bool clipToTreeBox(const KdTree& tree, const Ray& ray, const float inverse[3], float& entry,
                   float& exit);

// The iterative walk over the subtree at node for the stretch [entry, exit].
// A hand-made tree so deep that a far child would not fit on the stack ends
// the walk there with 0, as if nothing had been hit.
int traverseKdTree(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry, float exit);

// The same walk, recursive, keeping nodeVisitCount and emptyLeafCount.
int traverseKdTreeRecursive(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                            float exit);

} // namespace vantrel
