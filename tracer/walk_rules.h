// The rules of a walk through a compiled tree, written once over the lane
// types: the lone walk takes them on one lane, the packet walk on all of its
// lanes, so that every ray of a packet is walked exactly as it is alone.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/tracer/trace_context.h"

namespace vantrel {

// Counts rays tested against tree in context, for addRayCounts.
inline void countRays(TraceContext& context, const KdTree& tree, uint32_t rays) {
    if (&tree != context.countedTree)
        changeCountedTree(context, tree);
    context.countedRays += rays;
}

// An origin inside the box, or closer to it than this, starts the walk here.
constexpr float minEntryDistance = 0.001f;

// Whether the tree's box has no depth on some axis (a planar mesh).
bool hasFlatBox(const KdTree& tree);

// The stretch [entry, exit] of each lane's ray inside the tree's box, the
// axes taken in the order x, y, z, entry raised to minEntryDistance; inverse
// holds the reciprocals of the directions. Holds in the lanes whose ray meets
// the box over a stretch that is not empty.
template <class F>
typename F::Mask clipToBox(const KdTree& tree, const float origin[3], const F direction[3],
                           const F inverse[3], F& entry, F& exit) {
    F low[3];
    F high[3];
    for (int k = 0; k < 3; ++k) {
        // The slab's bounds in the order the ray crosses them.
        const F toMin = F(tree.boundsMin[k] - origin[k]) * inverse[k];
        const F toMax = F(tree.boundsMax[k] - origin[k]) * inverse[k];
        const typename F::Mask up = direction[k] >= F(0.0f);
        low[k] = select(up, toMin, toMax);
        high[k] = select(up, toMax, toMin);
    }
    typename F::Mask miss = (low[0] > high[1]) | (low[1] > high[0]);
    entry = select(low[0] > low[1], low[0], low[1]);
    exit = select(high[0] < high[1], high[0], high[1]);
    miss = miss | (entry > high[2]) | (low[2] > exit);
    entry = select(low[2] > entry, low[2], entry);
    exit = select(high[2] < exit, high[2], exit);
    // Also refuses a NaN stretch, which an unusable ray or box would give. A
    // box without depth on some axis meets every ray in a single point, so
    // there an empty stretch may still hold a hit.
    typename F::Mask empty = !(exit > entry);
    const typename F::Mask point = exit == entry;
    if (bits(point) != 0 && hasFlatBox(tree))
        empty = andNot(point, empty);
    entry = select(entry < F(minEntryDistance), F(minEntryDistance), entry);
    return !(miss | empty);
}

// Where the ray crosses a node's plane.
template <class F> F planeDistance(const KdTreeNode& node, const float origin[3], F inverse) {
    return F(node.split - origin[splitAxis(node)]) * inverse;
}

// Whether a ray runs up the axis, so that its near child is the lower one.
template <class F> typename F::Mask nearIsLower(F direction) {
    return direction > F(0.0f);
}

// Which children a stretch [entry, exit] enters, the plane crossed at t: a
// stretch wholly beyond the plane the far child only, one wholly before it
// the near child only, any other both.
template <class F> struct PlaneSides {
    typename F::Mask farOnly;
    typename F::Mask nearOnly;
};

template <class F> PlaneSides<F> planeSides(F entry, F exit, F t) {
    const typename F::Mask farOnly = entry >= t;
    return {farOnly, andNot(farOnly, t >= exit)};
}

// Whether a walk stops at a leaf's nearest hit. Every cell before the leaf
// has been searched, so a hit no further than its exit is the tree's nearest.
// In the last cell along the ray (nothing left to walk) nothing lies behind
// that could hold a nearer one, so a hit just past exit by rounding (always
// possible in a box without depth) is the nearest too; a stretch that starts
// past its end (a box behind the origin) accepts nothing.
template <class F>
typename F::Mask acceptsLeafHit(F nearest, F entry, F exit, typename F::Mask nothingLeft) {
    return (exit >= nearest) | (nothingLeft & (entry <= exit));
}

} // namespace vantrel
