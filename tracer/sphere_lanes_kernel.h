// The nearest sphere of a leaf's packed groups for one ray, written once over
// the lane types; each instruction set's file instantiates it.
#pragma once

#include <cstdint>
#include <limits>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/sphere_lanes.h"
#include "vantrel/tracer/sphere_test.h"

namespace vantrel {

namespace sphere_lanes_detail {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

// A group of padding only, for a kernel wider than a group at an odd end.
inline constexpr SphereGroup paddingGroup = {
    {nan, nan, nan, nan, nan, nan, nan, nan},
    {nan, nan, nan, nan, nan, nan, nan, nan},
    {nan, nan, nan, nan, nan, nan, nan, nan},
    {nan, nan, nan, nan, nan, nan, nan, nan},
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr}};

// One of a group's rows.
using Row = float (SphereGroup::*)[sphereGroupLanes];

// F::width lanes of a row from entry first on, of a leaf of count spheres.
template <class F> F loadRow(const SphereGroup* groups, uint32_t first, uint32_t count, Row row) {
    const SphereGroup& group = groups[first / sphereGroupLanes];
    if constexpr (F::width <= sphereGroupLanes) {
        static_assert(sphereGroupLanes % F::width == 0, "lanes tile a group");
        return F::load(group.*row + first % sphereGroupLanes);
    } else {
        static_assert(F::width == 2 * sphereGroupLanes, "two groups a step");
        const bool pair = first + sphereGroupLanes < count;
        return F::loadPair(group.*row, (pair ? (&group)[1] : paddingGroup).*row);
    }
}

} // namespace sphere_lanes_detail

// nearestSphere on F::width spheres at a time.
template <class F>
uint32_t nearestSphereLanes(const SphereGroup* groups, uint32_t count, const Ray& ray,
                            float& distance) {
    using namespace sphere_lanes_detail;
    using Ints = typename F::Ints;
    const F ox = ray.origin.x;
    const F oy = ray.origin.y;
    const F oz = ray.origin.z;
    const F dx = ray.direction.x;
    const F dy = ray.direction.y;
    const F dz = ray.direction.z;
    F best = noHitDistance;
    Ints bestEntry = noSphereHit;
    Ints entry = Ints::iota();
    // One lane stops at count; wider steps test the padding, which no test accepts.
    for (uint32_t first = 0; first < count; first += F::width) {
        const F ocx = ox - loadRow<F>(groups, first, count, &SphereGroup::x);
        const F ocy = oy - loadRow<F>(groups, first, count, &SphereGroup::y);
        const F ocz = oz - loadRow<F>(groups, first, count, &SphereGroup::z);
        const F radius = loadRow<F>(groups, first, count, &SphereGroup::radius);
        keepNearer(sphereRoots(ocx, ocy, ocz, dx, dy, dz, radius), entry, best, bestEntry);
        entry = entry + Ints(F::width);
    }
    // Lanes hold no NaN: only ordered comparisons let a candidate in.
    distance = minLane(best);
    if (distance == noHitDistance)
        return noSphereHit;
    // Each lane kept its first entry at its distance, so the lowest wins.
    return minLane(select(best == F(distance), bestEntry, Ints(noSphereHit)));
}

} // namespace vantrel
