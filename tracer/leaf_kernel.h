// The nearest sphere or triangle of a leaf's packed groups for one ray,
// written once over the lane types; each instruction set's file instantiates
// them (tracer/kernel_table_for.h). Lane by lane they keep the first entry at
// the smallest accepted distance, as a list test that records only strictly
// nearer hits ends with.
#pragma once

#include <cstdint>
#include <limits>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/packed_leaf.h"
#include "vantrel/tracer/sphere_test.h"
#include "vantrel/tracer/triangle_test.h"

namespace vantrel {

// Takes an accepted candidate that is nearer than best into best, and entry
// into bestEntry.
template <class F>
void keepNearer(F candidate, typename F::Mask accepted, typename F::Ints entry, F& best,
                typename F::Ints& bestEntry) {
    const typename F::Mask nearer = lessWhere(accepted, candidate, best);
    best = select(nearer, candidate, best);
    bestEntry = select(nearer, entry, bestEntry);
}

// Across the lanes: the smallest distance, left in distance, and the first
// entry at it; noEntry when no lane took any.
template <class F> uint32_t firstNearest(F best, typename F::Ints bestEntry, float& distance) {
    using Ints = typename F::Ints;
    // Lanes hold no NaN: only ordered comparisons let a candidate in.
    distance = minLane(best);
    if (distance == noHitDistance)
        return noEntry;
    // Each lane kept its first entry at its distance, so the lowest wins.
    return minLane(select(best == F(distance), bestEntry, Ints(noEntry)));
}

// The first entry at the smallest distance among count entries tested
// F::width at a time: test(first, candidate, accepted) tests entries first
// on. One lane stops at count; wider steps test the padding past it, which
// no test accepts.
template <class F, class Test>
[[gnu::always_inline]] inline uint32_t nearestOfLanes(uint32_t count, float& distance, Test test) {
    using Ints = typename F::Ints;
    F best = noHitDistance;
    Ints bestEntry = noEntry;
    Ints entry = Ints::iota();
    for (uint32_t first = 0; first < count; first += F::width) {
        F candidate;
        typename F::Mask accepted;
        test(first, candidate, accepted);
        keepNearer(candidate, accepted, entry, best, bestEntry);
        entry = entry + Ints(F::width);
    }
    return firstNearest(best, bestEntry, distance);
}

// F::width lanes of a row of a leaf's groups (sphere or triangle) from
// entry first on, of a leaf of count entries: part of one group, one group,
// or two.
template <class F, class Group>
F loadRow(const Group* groups, uint32_t first, uint32_t count,
          float (Group::*row)[sphereGroupLanes]) {
    const Group& group = groups[first / sphereGroupLanes];
    if constexpr (F::width <= sphereGroupLanes) {
        static_assert(sphereGroupLanes % F::width == 0, "lanes tile a group");
        return F::load(group.*row + first % sphereGroupLanes);
    } else {
        static_assert(F::width == 2 * sphereGroupLanes, "two groups a step");
        constexpr float nan = std::numeric_limits<float>::quiet_NaN();
        // Stands in for the group after an odd last one: no test accepts its
        // lanes. Local to each instantiation, so built for its own lanes.
        alignas(64) static constexpr float padding[sphereGroupLanes] = {nan, nan, nan, nan,
                                                                        nan, nan, nan, nan};
        const bool pair = first + sphereGroupLanes < count;
        return F::loadPair(group.*row, pair ? (&group)[1].*row : padding);
    }
}

// Among the first count spheres of groups (lane 0 of the first group is
// entry 0), the entry that testing them in order would record last: the
// first at the smallest distance the sphere test accepts below the empty
// record's distance, which is left in distance; noEntry if none. F::width
// spheres at a time.
template <class F>
uint32_t nearestSphereLanes(const SphereGroup* groups, uint32_t count, const Ray& ray,
                            float& distance) {
    using G = SphereGroup;
    const F d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    return nearestOfLanes<F>(count, distance, [&](uint32_t first, F& candidate, auto& accepted) {
        const F ocx = F(ray.origin.x) - loadRow<F>(groups, first, count, &G::x);
        const F ocy = F(ray.origin.y) - loadRow<F>(groups, first, count, &G::y);
        const F ocz = F(ray.origin.z) - loadRow<F>(groups, first, count, &G::z);
        const F radius = loadRow<F>(groups, first, count, &G::radius);
        const SphereRoots<F> roots = sphereRoots(ocx, ocy, ocz, d[0], d[1], d[2], radius);
        candidate = roots.candidate;
        accepted = roots.accepted;
    });
}

// The same among the first count triangles of groups, by ordinal: F::width
// triangles at a time.
template <class F>
uint32_t nearestTriangleLanes(const TriangleGroup* groups, uint32_t count, const Ray& ray,
                              float& distance) {
    using G = TriangleGroup;
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const F d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    return nearestOfLanes<F>(count, distance, [&](uint32_t first, F& candidate, auto& accepted) {
        const auto row = [&](float(G::*r)[triangleGroupLanes]) {
            return loadRow<F>(groups, first, count, r);
        };
        const F v0[3] = {row(&G::x0), row(&G::y0), row(&G::z0)};
        const F v1[3] = {row(&G::x1), row(&G::y1), row(&G::z1)};
        const F v2[3] = {row(&G::x2), row(&G::y2), row(&G::z2)};
        const F n[3] = {row(&G::nx), row(&G::ny), row(&G::nz)};
        const TriangleHits<F> hits = triangleHits<F, F>(v0, v1, v2, n, o, d);
        candidate = hits.t;
        accepted = hits.accepted;
    });
}

} // namespace vantrel
