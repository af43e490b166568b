// The queries' tests of a leaf's packed groups for one ray, written once
// over the lane types as the renderer's leaf kernels are (leaf_kernel.h):
// the first entry at the smallest distance in the segment, as testing the
// entries one by one in order finds it.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/watertight_triangle.h"

namespace vantrel {

// A ray with a direction of any length against spheres, lane by lane: f is
// origin - centre, a the direction's squared length. The discriminant is
// taken from the point of the line nearest the centre, which keeps it exact
// enough far from the sphere. Both roots, nearer first, where real.
template <class F> struct QuerySphereRoots {
    F nearer;
    F farther;
    typename F::Mask real;
};

template <class F>
QuerySphereRoots<F> querySphereRoots(F fx, F fy, F fz, const float d[3], float a, F radius) {
    const F b = -(fx * F(d[0]) + fy * F(d[1]) + fz * F(d[2]));
    const F along = b / F(a);
    const F nx = fx + F(d[0]) * along;
    const F ny = fy + F(d[1]) * along;
    const F nz = fz + F(d[2]) * along;
    const F r2 = radius * radius;
    const F discriminant = F(a) * (r2 - (nx * nx + ny * ny + nz * nz));
    const F s = sqrt(discriminant);
    const F zero(0.0f);
    const F q = select(b < zero, b - s, b + s);
    const F t0 = q / F(a);
    const F t1 = select(q == zero, t0, ((fx * fx + fy * fy + fz * fz) - r2) / q);
    return {select(t1 < t0, t1, t0), select(t1 < t0, t0, t1), discriminant >= zero};
}

// The hit: the nearer root in [tnear, tfar], or else the farther.
template <class F>
F querySphereRoot(F fx, F fy, F fz, const float d[3], float a, F radius, float tnear, float tfar,
                  typename F::Mask& accepted) {
    const QuerySphereRoots<F> roots = querySphereRoots<F>(fx, fy, fz, d, a, radius);
    const F t = select(roots.nearer >= F(tnear), roots.nearer, roots.farther);
    accepted = roots.real & (t >= F(tnear)) & (t <= F(tfar));
    return t;
}

// The leaf tests below, and the lane loop and triangle test they call, are
// in line in the hierarchy's walk: left to itself, the compiler calls them
// out of line from the larger AVX-512 file, which measured over 10% slower.
template <class F>
[[gnu::always_inline]] inline uint32_t
nearestSphereQueryLanes(const SphereGroup* groups, uint32_t count, const Ray& ray, float tnear,
                        float tfar, float& distance) {
    using G = SphereGroup;
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const float a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    return nearestOfLanes<F>(count, distance, [&](uint32_t first, F& candidate, auto& accepted) {
        const F fx = F(ray.origin.x) - loadRow<F>(groups, first, count, &G::x);
        const F fy = F(ray.origin.y) - loadRow<F>(groups, first, count, &G::y);
        const F fz = F(ray.origin.z) - loadRow<F>(groups, first, count, &G::z);
        const F radius = loadRow<F>(groups, first, count, &G::radius);
        candidate = querySphereRoot<F>(fx, fy, fz, d, a, radius, tnear, tfar, accepted);
    });
}

// Lanes whose edge function came out zero, answered by the lone test; corner
// (lane, k) gives corner k of the triangle in a lane. Rare, and out of the
// lane loop so that the loop stays in line.
template <class F, class Corner>
[[gnu::noinline]] void answerEdgeLanes(uint32_t edges, const Corner& corner, const ShearedRay& ray,
                                       float tnear, float tfar, F& candidate,
                                       typename F::Mask& accepted) {
    for (; edges != 0; edges &= edges - 1) {
        const uint32_t lane = static_cast<uint32_t>(__builtin_ctz(edges));
        float t = 0.0f;
        const bool hit =
            hitsTriangle(ray, corner(lane, 0), corner(lane, 1), corner(lane, 2), tnear, tfar, t);
        const typename F::Mask only = F::Mask::ofBits(1u << lane);
        candidate = select(only, F(t), candidate);
        accepted = andNot(only, accepted) | (hit ? only : andNot(only, only));
    }
}

// One step of the watertight test: row(corner, axis) gives F::width lanes
// of one coordinate of the triangles' corners; their distances and which
// the test accepts in [tnear, tfar], of the lanes of valid.
template <class F, bool skipMisses = true, class Row, class Corner>
[[gnu::always_inline]] inline void
watertightStep(const Row& row, const Corner& corner, const ShearedRay& ray, float tnear, float tfar,
               typename F::Mask valid, F& candidate, typename F::Mask& accepted) {
    // Each corner's rows by axis, read in the ray's order of axes.
    const F v0[3] = {row(0, ray.kx), row(0, ray.ky), row(0, ray.kz)};
    const F v1[3] = {row(1, ray.kx), row(1, ray.ky), row(1, ray.kz)};
    const F v2[3] = {row(2, ray.kx), row(2, ray.ky), row(2, ray.kz)};
    const WatertightHits<F> hits =
        watertightHits<F, skipMisses>(v0, v1, v2, shearedLanes<F>(ray), tnear, tfar, valid);
    candidate = hits.t;
    accepted = hits.accepted;
    if (const uint32_t edges = bits(hits.onEdge))
        answerEdgeLanes<F>(edges, corner, ray, tnear, tfar, candidate, accepted);
}

// One step of a kd-tree leaf's groups, from triangle first on.
template <class F>
[[gnu::always_inline]] inline void triangleQueryStep(const TriangleGroup* groups, uint32_t first,
                                                     uint32_t count, const ShearedRay& ray,
                                                     float tnear, float tfar, F& candidate,
                                                     typename F::Mask& accepted) {
    using G = TriangleGroup;
    using Coordinate = float(G::*)[triangleGroupLanes];
    constexpr Coordinate rows[3][3] = {
        {&G::x0, &G::y0, &G::z0}, {&G::x1, &G::y1, &G::z1}, {&G::x2, &G::y2, &G::z2}};
    const auto row = [&](int corner, int axis) {
        return loadRow<F>(groups, first, count, rows[corner][axis]);
    };
    const auto corner = [&](uint32_t lane, int k) {
        const G& group = groups[(first + lane) / triangleGroupLanes];
        const uint32_t at = (first + lane) % triangleGroupLanes;
        return Vector3{(group.*rows[k][0])[at], (group.*rows[k][1])[at], (group.*rows[k][2])[at]};
    };
    // The padding's NaN corners accept nothing.
    watertightStep<F>(row, corner, ray, tnear, tfar, F::Mask::ofBits(~0u), candidate, accepted);
}

// Flattened: the step in line in the loop, as a lambda this large is not.
template <class F>
[[gnu::always_inline, gnu::flatten]] inline uint32_t
nearestTriangleQueryLanes(const TriangleGroup* groups, uint32_t count, const ShearedRay& ray,
                          float tnear, float tfar, float& distance) {
    return nearestOfLanes<F>(
        count, distance, [&](uint32_t first, F& candidate, typename F::Mask& accepted) {
            triangleQueryStep<F>(groups, first, count, ray, tnear, tfar, candidate, accepted);
        });
}

// Whether any of the triangles is hit in [tnear, tfar]: an occlusion query
// asks no more, so the first step that finds one ends the test.
template <class F>
[[gnu::always_inline]] inline bool anyTriangleQueryLanes(const TriangleGroup* groups,
                                                         uint32_t count, const ShearedRay& ray,
                                                         float tnear, float tfar) {
    for (uint32_t first = 0; first < count; first += F::width) {
        F candidate;
        typename F::Mask accepted;
        triangleQueryStep<F>(groups, first, count, ray, tnear, tfar, candidate, accepted);
        if (bits(accepted) != 0)
            return true;
    }
    return false;
}

// The lanes of a leaf of count shapes that hold one, from shape first on.
template <class F> typename F::Mask lanesBelow(uint32_t count, uint32_t first) {
    const uint32_t left = count - first;
    return F::Mask::ofBits(left >= 32 ? ~0u : (1u << left) - 1);
}

// One step of a hierarchy's leaf of count triangles, from triangle first on
// (bvh/bvh.h: rows of count floats, x0 y0 z0 x1 ... z2).
template <class F, bool skipMisses = true>
[[gnu::always_inline]] inline void
triangleRowsStep(const float* rows, uint32_t count, uint32_t first, const ShearedRay& ray,
                 float tnear, float tfar, F& candidate, typename F::Mask& accepted) {
    const auto row = [&](int corner, int axis) {
        return F::loadUnaligned(rows + (3 * corner + axis) * count + first);
    };
    const auto corner = [&](uint32_t lane, int k) {
        const float* at = rows + 3 * k * count + first + lane;
        return Vector3{at[0], at[count], at[2 * count]};
    };
    watertightStep<F, skipMisses>(row, corner, ray, tnear, tfar, lanesBelow<F>(count, first),
                                  candidate, accepted);
}

template <class F>
[[gnu::always_inline, gnu::flatten]] inline uint32_t
nearestTriangleRowsLanes(const float* rows, uint32_t count, const ShearedRay& ray, float tnear,
                         float tfar, float& distance) {
    return nearestOfLanes<F>(
        count, distance, [&](uint32_t first, F& candidate, typename F::Mask& accepted) {
            triangleRowsStep<F>(rows, count, first, ray, tnear, tfar, candidate, accepted);
        });
}

template <class F>
[[gnu::always_inline]] inline bool anyTriangleRowsLanes(const float* rows, uint32_t count,
                                                        const ShearedRay& ray, float tnear,
                                                        float tfar) {
    for (uint32_t first = 0; first < count; first += F::width) {
        F candidate;
        typename F::Mask accepted;
        triangleRowsStep<F, false>(rows, count, first, ray, tnear, tfar, candidate, accepted);
        if (bits(accepted) != 0)
            return true;
    }
    return false;
}

// The same for a leaf of count spheres (rows x y z radius).
template <class F>
[[gnu::always_inline]] inline uint32_t nearestSphereRowsLanes(const float* rows, uint32_t count,
                                                              const Ray& ray, float tnear,
                                                              float tfar, float& distance) {
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const float a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    return nearestOfLanes<F>(count, distance, [&](uint32_t first, F& candidate, auto& accepted) {
        const auto row = [&](int k) { return F::loadUnaligned(rows + k * count + first); };
        const F fx = F(ray.origin.x) - row(0);
        const F fy = F(ray.origin.y) - row(1);
        const F fz = F(ray.origin.z) - row(2);
        candidate = querySphereRoot<F>(fx, fy, fz, d, a, row(3), tnear, tfar, accepted);
        accepted = accepted & lanesBelow<F>(count, first);
    });
}

} // namespace vantrel
