// Per axis the candidates are taken in sorted order, which the root sorts
// once and every child inherits (candidate_order.cpp); each entry's switches
// along them are found (plane_switches.cpp) and every candidate is costed from
// the counts they give (cost_scan.cpp).
#include "vantrel/kdtree/split/cost_plane_search.h"

#include <algorithm>

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/split/cost_scan.h"
#include "vantrel/kdtree/split/cost_terms.h"
#include "vantrel/kdtree/split/plane_switches.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

void collectEntries(const CKdNode& node, int32_t method, CostSearchScratch& s) {
    s.entries.resize(node.primitives.size());
    s.listPosition.resize(node.primitives.size());
    uint32_t position = 0;
    uint32_t count = 0;
    forEachListEntry(node.primitives, [&](const ListEntry& entry) {
        s.entries[count] = entry.ref();
        s.listPosition[count] = position++;
        count += entry.type == PrimitiveType::Sphere || entry.type == PrimitiveType::Triangle;
    });
    s.entries.shrink(count);
    s.listPosition.shrink(count);
    for (int k = 0; k < 3; ++k) {
        s.centre[k].resize(count);
        s.gap[k].resize(count);
    }
    s.radius.resize(count);
    s.emptyRule.resize(2 * size_t{count});
    for (uint32_t e = 0; e < count; ++e) {
        // Spheres are costed with the empty-side rule in method 2 only,
        // triangles never.
        const uint32_t rule = isSphere(s.entries[e]) && method == 2 ? ~0u : 0u;
        s.emptyRule[2 * e] = s.emptyRule[2 * e + 1] = rule;
        // The spheres lie scattered in memory; ask for them a few entries early.
        if (e + 16 < count)
            __builtin_prefetch(s.entries[e + 16].object);
        if (!isSphere(s.entries[e]))
            continue;
        const Sphere& sphere = *static_cast<const Sphere*>(s.entries[e].object);
        s.radius[e] = sphere.radius;
        for (int k = 0; k < 3; ++k) {
            const float c = component(sphere.centre, k);
            s.centre[k][e] = c;
            s.gap[k][e] = sphereGapSquared(c, node.boundsMin[k], node.boundsMax[k]);
        }
    }
}

EntryCandidates unclampedCandidates(const CostSearchScratch& s, uint32_t e, int32_t axis,
                                    int32_t method) {
    if (isSphere(s.entries[e]))
        return sphereCandidates(s.centre[axis][e], s.radius[e], method);
    return triangleCandidates(*static_cast<const Triangle*>(s.entries[e].object), axis);
}

namespace {

// Pulls the axis's candidates into the node's box and gives each a slot of
// sorted, in which equal positions share one, so that a long run of them
// (candidates clamped to a face) costs the searches nothing.
void placeCandidates(const CKdNode& node, int32_t axis, int32_t method,
                     const ScratchBuffer<uint32_t>& order, CostSearchScratch& s) {
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    const float low = node.boundsMin[axis];
    const float high = node.boundsMax[axis];
    s.positions.resize(2 * size_t{entryCount});
    s.rank.resize(2 * size_t{entryCount});
    // A NaN plane makes both areas NaN, so its cost never beats the best
    // whatever the counts: the order leaves it out, and it borrows slot 0.
    // The order gives every other candidate its slot.
    for (uint32_t k = 0; k < 2 * entryCount; k += 2) {
        const EntryCandidates c = unclampedCandidates(s, k / 2, axis, method);
        s.positions[k] = clampCandidate(c.lower, low, high);
        s.positions[k + 1] = clampCandidate(c.upper, low, high);
        if (s.positions[k] != s.positions[k])
            s.rank[k] = 0;
        if (s.positions[k + 1] != s.positions[k + 1])
            s.rank[k + 1] = 0;
    }
    // A sphere's window may reach past the last slot, into its copies.
    s.sorted.resize(order.size() + sphereWindow);
    float* const sorted = s.sorted.data();
    const float* const positions = s.positions.data();
    uint32_t* const rank = s.rank.data();
    if (order.size() == 0) {
        s.sorted.shrink(0);
        return;
    }
    // Without a branch, as runs of equal positions come and go: a position
    // moves on to the next slot only where it differs from the one before.
    float previous = positions[order[0]];
    uint32_t last = 0;
    for (const uint32_t id : order) {
        const float position = positions[id];
        last += position != previous;
        sorted[last] = position;
        rank[id] = last;
        previous = position;
    }
    std::fill_n(sorted + last + 1, sphereWindow, previous);
    s.sorted.shrink(last + 1);
}

} // namespace

float searchCostPlaneOrdered(CKdNode& node, int32_t method, const CandidateOrder& order,
                             CostSearchScratch& s) {
    // The midpoint plane, counted as the child step would sort the entries.
    const ChildSideCounts midpoint = decideChildSides(node, node.axis, node.split, s.sides);
    float costLower;
    float costUpper;
    float best = splitCost(node.axis, node.split, node.boundsMin, node.boundsMax, midpoint.lower,
                           midpoint.upper, method == 2, &costLower, &costUpper);

    collectEntries(node, method, s);
    for (int32_t axis = 0; axis < 3; ++axis) {
        placeCandidates(node, axis, method, order.ids[axis], s);
        if (s.sorted.empty())
            continue;
        countSides(node, axis, method, s);

        scanCandidates(node, axis, s, best);
    }
    return best;
}

} // namespace vantrel
