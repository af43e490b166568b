#include "tracer/traverse.h"

#include "kdtree/build.h"
#include "scene/vector_ops.h"
#include "tracer/intersect.h"

namespace vantrel {

// A walk pushes at most one entry per level, so any tree the compiler makes fits.
static_assert(traversalStackSize >= maxDepth, "the walk stack must hold the deepest build");

namespace {

struct TraversalEntry {
    const KdTreeNode* node; // the deferred far child
    float entry;
    float exit;
};

float inverseDirection[3];
TraversalEntry traversalStack[traversalStackSize];
int traversalTop = -1;

int testLeaf(const KdTree& tree, uint32_t code, const Ray& ray) {
    return intersectLeaf(tree, code >> kdIndexShift, ray);
}

const KdTreeNode* lowerChild(const KdTree& tree, uint32_t code) {
    return &tree.nodes[code >> kdIndexShift];
}

// Orders the lower bound of a slab before its upper bound along the ray.
void slab(float boxMin, float boxMax, float origin, float direction, float inv, float& lo,
          float& hi) {
    if (direction >= 0.0f) {
        lo = (boxMin - origin) * inv;
        hi = (boxMax - origin) * inv;
    } else {
        lo = (boxMax - origin) * inv;
        hi = (boxMin - origin) * inv;
    }
}

void fillInverseDirection(const Ray& ray) {
    inverseDirection[0] = 1.0f / ray.direction.x;
    inverseDirection[1] = 1.0f / ray.direction.y;
    inverseDirection[2] = 1.0f / ray.direction.z;
}

} // namespace

bool hasFlatBox(const KdTree& tree) {
    return tree.boundsMin[0] == tree.boundsMax[0] || tree.boundsMin[1] == tree.boundsMax[1] ||
           tree.boundsMin[2] == tree.boundsMax[2];
}

namespace {

// The walk itself, for inverseDirection already filled.
int walk(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry, float exit) {
    traversalTop = -1;
    for (;;) {
        uint32_t code = node->code;
        while (!(code & kdLeafBit)) {
            const uint32_t axis = code & kdAxisMask;
            const float t = (node->split - component(ray.origin, axis)) * inverseDirection[axis];
            const KdTreeNode* lower = lowerChild(tree, code);
            const bool forward = component(ray.direction, axis) > 0.0f;
            const KdTreeNode* nearChild = forward ? lower : lower + 1;
            const KdTreeNode* farChild = forward ? lower + 1 : lower;
            if (entry >= t) {
                node = farChild;
            } else if (t >= exit) {
                node = nearChild;
            } else {
                if (traversalTop + 1 >= traversalStackSize)
                    return 0;
                traversalStack[++traversalTop] = {farChild, t, exit};
                node = nearChild;
                exit = t;
            }
            code = node->code;
        }
        if (!(code & kdEmptyBit)) {
            const int result = testLeaf(tree, code, ray);
            // In the last cell along the ray nothing lies behind that could
            // hold a nearer hit, so a hit just past exit by rounding (always
            // possible in a box without depth) is the tree's nearest. A
            // stretch that starts past its end (a box behind the origin)
            // accepts nothing.
            if (result != 0 && (exit >= hitRecord.distance || (traversalTop < 0 && entry <= exit)))
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

bool clipToTreeBox(const KdTree& tree, const Ray& ray, const float inverse[3], float& entry,
                   float& exit) {
    const Vector3& o = ray.origin;
    const Vector3& d = ray.direction;
    float loX, hiX, loY, hiY, loZ, hiZ;
    slab(tree.boundsMin[0], tree.boundsMax[0], o.x, d.x, inverse[0], loX, hiX);
    slab(tree.boundsMin[1], tree.boundsMax[1], o.y, d.y, inverse[1], loY, hiY);
    if (loX > hiY || loY > hiX)
        return false;
    entry = loX > loY ? loX : loY;
    exit = hiX < hiY ? hiX : hiY;
    slab(tree.boundsMin[2], tree.boundsMax[2], o.z, d.z, inverse[2], loZ, hiZ);
    if (entry > hiZ || loZ > exit)
        return false;
    if (loZ > entry)
        entry = loZ;
    if (hiZ < exit)
        exit = hiZ;
    // Also refuses a NaN stretch, which an unusable ray or box would give. A
    // box without depth on some axis (a planar mesh) meets every ray in a
    // single point, so there an empty stretch may still hold a hit.
    if (!(exit > entry) && !(exit == entry && hasFlatBox(tree)))
        return false;
    if (entry < 0.001f)
        entry = 0.001f;
    return true;
}

int intersectKdTree(KdTree& tree, const Ray& ray) {
    ++tree.rayCount;
    // The box test shares the walk's reciprocals: they are the same quotients.
    fillInverseDirection(ray);
    float entry;
    float exit;
    if (!clipToTreeBox(tree, ray, inverseDirection, entry, exit))
        return 0;
    return walk(tree, ray, &tree.nodes[0], entry, exit);
}

int traverseKdTree(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry, float exit) {
    fillInverseDirection(ray);
    return walk(tree, ray, node, entry, exit);
}

int traverseKdTreeRecursive(KdTree& tree, const Ray& ray, const KdTreeNode* node, float entry,
                            float exit) {
    ++tree.nodeVisitCount;
    const uint32_t code = node->code;
    if (code & kdLeafBit) {
        if (code & kdEmptyBit) {
            ++tree.emptyLeafCount;
            return 0;
        }
        return testLeaf(tree, code, ray);
    }
    const uint32_t axis = code & kdAxisMask;
    const float t = (node->split - component(ray.origin, axis)) / component(ray.direction, axis);
    const KdTreeNode* lower = lowerChild(tree, code);
    const bool forward = component(ray.direction, axis) > 0.0f;
    const KdTreeNode* nearChild = forward ? lower : lower + 1;
    const KdTreeNode* farChild = forward ? lower + 1 : lower;
    if (entry >= t)
        return traverseKdTreeRecursive(tree, ray, farChild, entry, exit);
    if (t >= exit)
        return traverseKdTreeRecursive(tree, ray, nearChild, entry, exit);
    const int result = traverseKdTreeRecursive(tree, ray, nearChild, entry, t);
    if (result != 0 && t >= hitRecord.distance)
        return result;
    return traverseKdTreeRecursive(tree, ray, farChild, t, exit);
}

} // namespace vantrel
