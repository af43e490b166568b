// The nearest sphere of a leaf's packed groups for one ray, written once over
// the lane types; each instruction set's file instantiates it.
#pragma once

#include <cstdint>

#include "kdtree/kd_tree.h"
#include "scene/records.h"
#include "tracer/group_rows.h"
#include "tracer/intersect.h"
#include "tracer/nearest_entry.h"
#include "tracer/sphere_lanes.h"
#include "tracer/sphere_test.h"

namespace vantrel {

// nearestSphere on F::width spheres at a time.
template <class F>
uint32_t nearestSphereLanes(const SphereGroup* groups, uint32_t count, const Ray& ray,
                            float& distance) {
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
        const SphereRoots<F> roots = sphereRoots(ocx, ocy, ocz, dx, dy, dz, radius);
        keepNearer(roots.candidate, roots.accepted, entry, best, bestEntry);
        entry = entry + Ints(F::width);
    }
    return firstNearest(best, bestEntry, distance);
}

} // namespace vantrel
