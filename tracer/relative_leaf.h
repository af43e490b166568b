// A packed leaf's triangles relative to the origin that a packet's rays
// share. What the triangle test forms from the corners and the origin alone
// (V0 - o, V1 - o, V2 - o and (V0 - o) . n) is then formed once a packet, not
// once a ray, in the very floats the test forms it in.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/packed_leaf.h"
#include "vantrel/tracer/triangle_test.h"

namespace vantrel {

// A triangle group's rows relative to an origin, by component.
struct alignas(64) RelativeTriangleGroup {
    float wx[triangleGroupLanes]; // V0 - o
    float wy[triangleGroupLanes];
    float wz[triangleGroupLanes];
    float ax[triangleGroupLanes]; // V1 - o
    float ay[triangleGroupLanes];
    float az[triangleGroupLanes];
    float bx[triangleGroupLanes]; // V2 - o
    float by[triangleGroupLanes];
    float bz[triangleGroupLanes];
    float nx[triangleGroupLanes];
    float ny[triangleGroupLanes];
    float nz[triangleGroupLanes];
    float wn[triangleGroupLanes]; // (V0 - o) . n
};

// A leaf's triangles are taken this many at a time, so that their rows stay
// on the stack (3.5 KiB) and in the first-level cache.
constexpr uint32_t relativeGroupsAtOnce = 8;
constexpr uint32_t relativeTrianglesAtOnce = relativeGroupsAtOnce * triangleGroupLanes;

// The count groups from groups on, relative to o, into out, a row at a time
// in the eight lanes of F's instruction set. Padding lanes stay NaN, which
// no test accepts.
template <class F>
void relativeToOrigin(const TriangleGroup* groups, uint32_t count, const float o[3],
                      RelativeTriangleGroup* out) {
    using E = typename F::RowLanes;
    static_assert(E::width == triangleGroupLanes, "a row at a time");
    const E ox(o[0]);
    const E oy(o[1]);
    const E oz(o[2]);
    for (uint32_t k = 0; k < count; ++k) {
        const TriangleGroup& g = groups[k];
        RelativeTriangleGroup& r = out[k];
        const E wx = E::load(g.x0) - ox;
        const E wy = E::load(g.y0) - oy;
        const E wz = E::load(g.z0) - oz;
        const E nx = E::load(g.nx);
        const E ny = E::load(g.ny);
        const E nz = E::load(g.nz);
        wx.store(r.wx);
        wy.store(r.wy);
        wz.store(r.wz);
        (E::load(g.x1) - ox).store(r.ax);
        (E::load(g.y1) - oy).store(r.ay);
        (E::load(g.z1) - oz).store(r.az);
        (E::load(g.x2) - ox).store(r.bx);
        (E::load(g.y2) - oy).store(r.by);
        (E::load(g.z2) - oz).store(r.bz);
        nx.store(r.nx);
        ny.store(r.ny);
        nz.store(r.nz);
        (wx * nx + wy * ny + wz * nz).store(r.wn);
    }
}

// Rays a vector of F holds in the ray-by-ray test below: one in each eight
// lanes, a group's width, so that a group's row is loaded into each eight
// lanes as it lies.
template <class F> constexpr uint32_t raysPerVector = F::width / triangleGroupLanes;

// Keeps in each lane of best the nearest distance that test(group) accepts
// below it, a group a step, and in bestEntry its entry: count entries, the
// first of which is entry first, each eight lanes a group's.
template <class F, class Group, class Test>
[[gnu::always_inline]] inline void keepNearestOfGroups(const Group* groups, uint32_t count,
                                                       uint32_t first, F& best,
                                                       typename F::Ints& bestEntry, Test test) {
    using Ints = typename F::Ints;
    Ints entry = Ints::iotaInEachEight() + Ints(first);
    for (uint32_t k = 0; k < count; k += triangleGroupLanes) {
        const TriangleHits<F> hits = test(groups[k / triangleGroupLanes]);
        keepNearer(hits.t, hits.accepted, entry, best, bestEntry);
        entry = entry + Ints(triangleGroupLanes);
    }
}

// The rays whose directions d holds (one per eight lanes, F::ofEachEight)
// against count triangles of rel, the first of which is entry first: keeps
// in each lane the nearest accepted distance below best and its entry, as
// nearestTriangleLanes keeps them.
template <class F>
void keepNearestOfRays(const RelativeTriangleGroup* rel, uint32_t count, uint32_t first,
                       const F d[3], F& best, typename F::Ints& bestEntry) {
    const auto row = [](const float* r) { return F::loadInEachEight(r); };
    keepNearestOfGroups(rel, count, first, best, bestEntry, [&](const RelativeTriangleGroup& g) {
        const F w[3] = {row(g.wx), row(g.wy), row(g.wz)};
        const F a[3] = {row(g.ax), row(g.ay), row(g.az)};
        const F b[3] = {row(g.bx), row(g.by), row(g.bz)};
        const F n[3] = {row(g.nx), row(g.ny), row(g.nz)};
        return triangleHitsFrom<F, F>(w, a, b, n, row(g.wn), d);
    });
}

// The same against count triangles of groups as they lie, the origin o taken
// off here: for a vector of rays alone, which the rows above would not pay
// for.
template <class F>
void keepNearestOfRays(const TriangleGroup* groups, uint32_t count, const float o[3], const F d[3],
                       F& best, typename F::Ints& bestEntry) {
    const auto row = [](const float* r) { return F::loadInEachEight(r); };
    keepNearestOfGroups(groups, count, 0, best, bestEntry, [&](const TriangleGroup& g) {
        const F v0[3] = {row(g.x0), row(g.y0), row(g.z0)};
        const F v1[3] = {row(g.x1), row(g.y1), row(g.z1)};
        const F v2[3] = {row(g.x2), row(g.y2), row(g.z2)};
        const F n[3] = {row(g.nx), row(g.ny), row(g.nz)};
        return triangleHits<F, F>(v0, v1, v2, n, o, d);
    });
}

// Per ray of the vector, the smallest distance in its eight lanes and the
// first entry at it: noEntry where it took none, as its lanes kept theirs.
template <class F>
void firstNearestOfRays(F best, typename F::Ints bestEntry, uint32_t entry[], float distance[]) {
    using Ints = typename F::Ints;
    // Lanes hold no NaN: only ordered comparisons let a candidate in.
    const F nearest = minInEachEight(best);
    const Ints first = minInEachEight(select(best == nearest, bestEntry, Ints(noEntry)));
    alignas(64) float nearestOf[F::width];
    alignas(64) uint32_t firstOf[F::width];
    nearest.store(nearestOf);
    first.store(firstOf);
    for (uint32_t ray = 0; ray < raysPerVector<F>; ++ray) {
        distance[ray] = nearestOf[ray * triangleGroupLanes];
        entry[ray] = firstOf[ray * triangleGroupLanes];
    }
}

} // namespace vantrel
