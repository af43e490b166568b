// The nearest sphere or triangle of a leaf's packed groups for one ray,
// written once over the lane types; each instruction set's file instantiates
// them.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/group_rows.h"
#include "vantrel/tracer/nearest_entry.h"
#include "vantrel/tracer/sphere_test.h"
#include "vantrel/tracer/triangle_test.h"

namespace vantrel {

// nearestSphere on F::width spheres at a time.
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

// nearestTriangle on F::width triangles at a time.
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
