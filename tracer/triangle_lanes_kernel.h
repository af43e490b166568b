// The nearest triangle of a leaf's packed groups for one ray, written once
// over the lane types; each instruction set's file instantiates it.
#pragma once

#include <cstdint>

#include "kdtree/kd_tree.h"
#include "scene/records.h"
#include "tracer/group_rows.h"
#include "tracer/nearest_entry.h"
#include "tracer/triangle_test.h"

namespace vantrel {

// nearestTriangle on F::width triangles at a time.
template <class F>
uint32_t nearestTriangleLanes(const TriangleGroup* groups, uint32_t count, const Ray& ray,
                              float& distance) {
    using Ints = typename F::Ints;
    using G = TriangleGroup;
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const F d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    F best = noHitDistance;
    Ints bestEntry = noEntry;
    Ints entry = Ints::iota();
    // One lane stops at count; wider steps test the padding, which no test accepts.
    for (uint32_t first = 0; first < count; first += F::width) {
        const auto row = [&](float(G::*r)[triangleGroupLanes]) {
            return loadRow<F>(groups, first, count, r);
        };
        const F v0[3] = {row(&G::x0), row(&G::y0), row(&G::z0)};
        const F v1[3] = {row(&G::x1), row(&G::y1), row(&G::z1)};
        const F v2[3] = {row(&G::x2), row(&G::y2), row(&G::z2)};
        const F n[3] = {row(&G::nx), row(&G::ny), row(&G::nz)};
        const TriangleHits<F> hits = triangleHits<F, F>(v0, v1, v2, n, o, d);
        keepNearer(hits.t, hits.accepted, entry, best, bestEntry);
        entry = entry + Ints(F::width);
    }
    return firstNearest(best, bestEntry, distance);
}

} // namespace vantrel
