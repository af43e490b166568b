#include "vantrel/tracer/traverse.h"

#include "vantrel/kdtree/build.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/lanes_scalar.h"
#include "vantrel/tracer/packed_leaf.h"
#include "vantrel/tracer/trace_context.h"

namespace vantrel {

static_assert(traversalStackSize >= maxDepth, "the walk stack must hold the deepest build");

namespace {

using F = scalar::Floats;

void fillInverseDirection(TraceContext& context, const Ray& ray) {
    context.inverseDirection[0] = 1.0f / ray.direction.x;
    context.inverseDirection[1] = 1.0f / ray.direction.y;
    context.inverseDirection[2] = 1.0f / ray.direction.z;
}

// Offset of the near child within a pair, per axis.
void nearOffsets(const Ray& ray, uint32_t offset[3]) {
    const F direction[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    for (int k = 0; k < 3; ++k)
        offset[k] = nearIsLower(direction[k]).v ? 0u : 1u;
}

// The walk itself, for the context's inverseDirection already filled.
int walk(TraceContext& context, const KdTree& tree, const Ray& ray, const KdTreeNode* node,
         float entry, float exit) {
    const float* const inverseDirection = context.inverseDirection;
    TraversalEntry* const traversalStack = context.traversalStack;
    int& traversalTop = context.traversalTop;
    const float origin[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    uint32_t nearOffset[3];
    nearOffsets(ray, nearOffset);
    traversalTop = -1;
    for (;;) {
        KdTreeNode at = *node;
        while (!isLeafNode(at)) {
            const uint32_t axis = splitAxis(at);
            const float t = planeDistance<F>(at, origin, inverseDirection[axis]).v;
            const KdTreeNode* lower = tree.nodes + lowerChild(at);
            const KdTreeNode* nearChild = lower + nearOffset[axis];
            const KdTreeNode* farChild = lower + (nearOffset[axis] ^ 1u);
            const PlaneSides<F> sides = planeSides<F>(entry, exit, t);
            if (sides.farOnly.v) {
                node = farChild;
            } else if (sides.nearOnly.v) {
                node = nearChild;
            } else {
                if (traversalTop + 1 >= traversalStackSize)
                    return 0;
                traversalStack[++traversalTop] = {farChild, t, exit};
                node = nearChild;
                exit = t;
            }
            at = *node;
        }
        if (!isEmptyLeaf(at)) {
            const int result = intersectLeaf(context, tree, leafIndex(at), ray);
            if (result != 0 &&
                acceptsLeafHit<F>(context.hit.distance, entry, exit, {traversalTop < 0}).v)
                return result;
        }
        if (traversalTop < 0)
            return 0;
        const TraversalEntry& next = traversalStack[traversalTop--];
        node = next.node;
        entry = next.entry;
        exit = next.exit;
    }
}

} // namespace

bool hasFlatBox(const KdTree& tree) {
    return tree.boundsMin[0] == tree.boundsMax[0] || tree.boundsMin[1] == tree.boundsMax[1] ||
           tree.boundsMin[2] == tree.boundsMax[2];
}

bool clipToTreeBox(const KdTree& tree, const Ray& ray, const float inverse[3], float& entry,
                   float& exit) {
    const float origin[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const F direction[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const F reciprocal[3] = {inverse[0], inverse[1], inverse[2]};
    F laneEntry;
    F laneExit;
    const bool live = clipToBox<F>(tree, origin, direction, reciprocal, laneEntry, laneExit).v;
    entry = laneEntry.v;
    exit = laneExit.v;
    return live;
}

int intersectKdTree(TraceContext& context, const KdTree& tree, const Ray& ray) {
    countRays(context, tree, 1);
    // The box test shares the walk's reciprocals: they are the same quotients.
    fillInverseDirection(context, ray);
    float entry;
    float exit;
    if (!clipToTreeBox(tree, ray, context.inverseDirection, entry, exit))
        return 0;
    return walk(context, tree, ray, tree.nodes, entry, exit);
}

int intersectKdTree(KdTree& tree, const Ray& ray) {
    const int result = intersectKdTree(programTraceContext, tree, ray);
    addRayCounts(programTraceContext);
    return result;
}

int traverseKdTree(TraceContext& context, const KdTree& tree, const Ray& ray,
                   const KdTreeNode* node, float entry, float exit) {
    fillInverseDirection(context, ray);
    return walk(context, tree, ray, node, entry, exit);
}

int traverseKdTree(const KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                   float exit) {
    const int result = traverseKdTree(programTraceContext, tree, ray, node, entry, exit);
    addRayCounts(programTraceContext);
    return result;
}

int traverseKdTreeRecursive(TraceContext& context, const KdTree& tree, const Ray& ray,
                            const KdTreeNode* node, float entry, float exit) {
    ++context.nodeVisitCount;
    if (isLeafNode(*node)) {
        if (isEmptyLeaf(*node)) {
            ++context.emptyLeafCount;
            return 0;
        }
        return intersectLeaf(context, tree, leafIndex(*node), ray);
    }
    const uint32_t axis = splitAxis(*node);
    const float d = component(ray.direction, static_cast<int>(axis));
    const float t = (node->split - component(ray.origin, static_cast<int>(axis))) / d;
    const KdTreeNode* lower = tree.nodes + lowerChild(*node);
    const bool up = nearIsLower(F(d)).v;
    const KdTreeNode* nearChild = up ? lower : lower + 1;
    const KdTreeNode* farChild = up ? lower + 1 : lower;
    const PlaneSides<F> sides = planeSides<F>(entry, exit, t);
    if (sides.farOnly.v)
        return traverseKdTreeRecursive(context, tree, ray, farChild, entry, exit);
    if (sides.nearOnly.v)
        return traverseKdTreeRecursive(context, tree, ray, nearChild, entry, exit);
    const int result = traverseKdTreeRecursive(context, tree, ray, nearChild, entry, t);
    if (result != 0 && t >= context.hit.distance)
        return result;
    return traverseKdTreeRecursive(context, tree, ray, farChild, t, exit);
}

int traverseKdTreeRecursive(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                            float exit) {
    TraceContext& context = programTraceContext;
    const int result = traverseKdTreeRecursive(context, tree, ray, node, entry, exit);
    tree.nodeVisitCount += context.nodeVisitCount;
    tree.emptyLeafCount += context.emptyLeafCount;
    context.nodeVisitCount = 0;
    context.emptyLeafCount = 0;
    addRayCounts(context);
    return result;
}

} // namespace vantrel
