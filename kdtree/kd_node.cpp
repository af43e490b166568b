#include "vantrel/kdtree/kd_node.h"

#include <cmath>
#include <vector>

#include "vantrel/kdtree/build_budget.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

constexpr float largestFloat = 3.40282347e38f;

// Widens [lo, hi] on every axis to take in [vMin, vMax].
void growBox(float lo[3], float hi[3], const Vector3& vMin, const Vector3& vMax) {
    for (int k = 0; k < 3; ++k) {
        if (lo[k] > component(vMin, k))
            lo[k] = component(vMin, k);
        if (hi[k] < component(vMax, k))
            hi[k] = component(vMax, k);
    }
}

// One axis's share of the squared distance from a centre coordinate c to the
// slab [lo, hi]. Adding 0 inside the slab leaves a sum of squares unchanged.
float gapSquared(float c, float lo, float hi) {
    if (lo > c) {
        const float e = c - lo;
        return e * e;
    }
    if (c > hi) {
        const float e = c - hi;
        return e * e;
    }
    return 0.0f;
}

// sphereTouchesBox against both children of node at once. Their boxes differ
// on the split axis only, so the sphere is read once and the other axes'
// shares are worked out once; the sums keep sphereTouchesBox's order.
void sphereTouchesChildren(const Sphere& sphere, const CKdNode& node, bool& lower, bool& upper) {
    float lowerDistance = 0.0f;
    float upperDistance = 0.0f;
    for (int k = 0; k < 3; ++k) {
        const float c = component(sphere.centre, k);
        if (k == node.axis) {
            lowerDistance += gapSquared(c, node.boundsMin[k], node.split);
            upperDistance += gapSquared(c, node.split, node.boundsMax[k]);
        } else {
            const float gap = gapSquared(c, node.boundsMin[k], node.boundsMax[k]);
            lowerDistance += gap;
            upperDistance += gap;
        }
    }
    const float reach = sphere.radius * sphere.radius;
    lower = reach >= lowerDistance;
    upper = reach >= upperDistance;
}

void touchesChildren(const PrimitiveRef& ref, const CKdNode& node, bool& lower, bool& upper) {
    switch (ref.type) {
    case PrimitiveType::Sphere:
        sphereTouchesChildren(*static_cast<const Sphere*>(ref.object), node, lower, upper);
        return;
    case PrimitiveType::Triangle: {
        const Triangle& triangle = *static_cast<const Triangle*>(ref.object);
        lower = triangleTouchesBox(triangle, node.left->boundsMin, node.left->boundsMax);
        upper = triangleTouchesBox(triangle, node.right->boundsMin, node.right->boundsMax);
        return;
    }
    default:
        lower = upper = false;
        return;
    }
}

} // namespace

CKdNode::~CKdNode() {
    delete left;
    delete right;
    left = nullptr;
    right = nullptr;
    primitives.clear();
}

void computeBounds(CKdNode& node) {
    for (int k = 0; k < 3; ++k) {
        node.boundsMin[k] = largestFloat;
        node.boundsMax[k] = -largestFloat;
    }
    for (const PrimitiveRef& ref : node.primitives) {
        if (ref.type == PrimitiveType::Sphere) {
            const Sphere& s = *static_cast<const Sphere*>(ref.object);
            // The hit test squares the radius, so a negative one is drawn at
            // its magnitude and must be bounded by it.
            const float radius = std::fabs(s.radius);
            const Vector3 r{radius, radius, radius};
            growBox(node.boundsMin, node.boundsMax, s.centre - r, s.centre + r);
        } else if (ref.type == PrimitiveType::Triangle) {
            const Triangle& t = *static_cast<const Triangle*>(ref.object);
            growBox(node.boundsMin, node.boundsMax, t.V0, t.V0);
            growBox(node.boundsMin, node.boundsMax, t.V1, t.V1);
            growBox(node.boundsMin, node.boundsMax, t.V2, t.V2);
        }
    }
}

bool sphereTouchesBox(const Sphere& sphere, const float boxMin[3], const float boxMax[3]) {
    float d = 0.0f;
    for (int k = 0; k < 3; ++k)
        d += gapSquared(component(sphere.centre, k), boxMin[k], boxMax[k]);
    return sphere.radius * sphere.radius >= d;
}

void createChildren(CKdNode& node) {
    ChildStepScratch scratch;
    createChildren(node, scratch);
}

void createChildren(CKdNode& node, ChildStepScratch& scratch) {
    chargeChildNodes();
    node.left = new CKdNode;
    node.right = new CKdNode;
    CKdNode& lower = *node.left;
    CKdNode& upper = *node.right;
    for (int k = 0; k < 3; ++k) {
        lower.boundsMin[k] = upper.boundsMin[k] = node.boundsMin[k];
        lower.boundsMax[k] = upper.boundsMax[k] = node.boundsMax[k];
    }
    lower.boundsMax[node.axis] = node.split;
    upper.boundsMin[node.axis] = node.split;
    // Each entry's sides are decided in one pass; then each child's entries
    // are added in a run of their own, so that a child's list lies together
    // in memory instead of interleaved with its sibling's, and the next level
    // reads it as one dense stream. Same entries, same order.
    std::vector<ChildStepScratch::Entry>& sorted = scratch.entries;
    sorted.clear();
    uint64_t entries = 0; // both children's, charged before either list grows
    // The shapes lie scattered in memory; ask for each a few entries early.
    auto ahead = node.primitives.begin();
    for (int i = 0; i < 8 && ahead != node.primitives.end(); ++i)
        ++ahead;
    for (const PrimitiveRef& ref : node.primitives) {
        if (ahead != node.primitives.end()) {
            __builtin_prefetch(ahead->object);
            ++ahead;
        }
        bool toLower;
        bool toUpper;
        touchesChildren(ref, node, toLower, toUpper);
        sorted.push_back({ref, toLower, toUpper});
        entries += uint64_t{toLower} + uint64_t{toUpper};
    }
    chargeListEntries(entries);
    for (const ChildStepScratch::Entry& entry : sorted) {
        if (entry.toLower)
            lower.primitives.push_front(entry.ref);
    }
    for (const ChildStepScratch::Entry& entry : sorted) {
        if (entry.toUpper)
            upper.primitives.push_front(entry.ref);
    }
}

} // namespace vantrel
