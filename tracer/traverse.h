// Walks of a compiled kd-tree, front to back along a ray.
#pragma once

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/walk_rules.h"

namespace vantrel {

struct TraceContext;

// Counts the ray in tree.rayCount, clips it to the tree's box and walks the
// tree. Non-zero when a hit was accepted; it is then in hitRecord.
int intersectKdTree(KdTree& tree, const Ray& ray);

// The same with the walk's storage and the hit in context, and the ray
// counted there (addRayCounts).
int intersectKdTree(TraceContext& context, const KdTree& tree, const Ray& ray);

// The stretch [entry, exit] of the ray inside the tree's box, entry raised to
// 0.001; inverse holds the reciprocals of the ray's direction. False when the
// ray misses the box or its stretch there is empty.
bool clipToTreeBox(const KdTree& tree, const Ray& ray, const float inverse[3], float& entry,
                   float& exit);

// The iterative walk over the subtree at node for the stretch [entry, exit].
// A hand-made tree so deep that a far child would not fit on the stack ends
// the walk there with 0, as if nothing had been hit. One working storage
// serves every walk without a context, so those must not nest.
int traverseKdTree(const KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                   float exit);
int traverseKdTree(TraceContext& context, const KdTree& tree, const Ray& ray,
                   const KdTreeNode* node, float entry, float exit);

// A recursive walk that keeps nodeVisitCount and emptyLeafCount. It divides
// by the direction at every node instead of multiplying by its reciprocal,
// and accepts a leaf's hit only within the stretch that reaches it, without
// the last-cell rule; so where rounding puts a hit on a cell's boundary it
// may find another answer than traverseKdTree.
int traverseKdTreeRecursive(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                            float exit);
// The same with both counts kept in context rather than in the tree.
int traverseKdTreeRecursive(TraceContext& context, const KdTree& tree, const Ray& ray,
                            const KdTreeNode* node, float entry, float exit);

} // namespace vantrel
