// Nearest hits of rays that leave one point (a block of a frame's primary
// rays, a shading point's samples), walked through the queries' hierarchy
// together: a node's boxes are read once for all of them, W's lanes testing
// each box for every ray at once; a leaf's triangles are tested against all
// the rays that reach it at once, one triangle on every lane, where the rays
// share their sheared axes, and ray by ray otherwise; where one ray is left
// in a subtree, its lone walk takes the rest. Every ray meets the boxes its
// lone walk meets, by the same floats, and is tested against each triangle
// by the same floats, so it ends with its lone walk's hit.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query_bvh_walk.h"

namespace vantrel {

// A packet's leaf tests one triangle on every lane where at least this many
// rays reach the leaf; fewer are tested ray by ray.
constexpr uint32_t leastRaysForPacketLeaf = 4;

namespace packet_detail {

// What every lane of the walk holds: its ray's part in the tests.
template <class W> struct PacketRays {
    alignas(64) float inverse[3][W::width];
    alignas(64) float tnear[W::width];
    alignas(64) float slack[W::width];
    alignas(64) float tfar[W::width]; // shrinks to the nearest hit found
    alignas(64) float shearX[W::width];
    alignas(64) float shearY[W::width];
    alignas(64) float shearZ[W::width];
    typename W::Mask back[3];     // the direction runs down the axis
    bool sameAxes;                // every ray's sheared axes are the first's
    int axes[3];                  // the first ray's kx, ky, kz
    ShearedRay sheared[W::width]; // where the axes differ
};

// The sheared ray of lane k, as shearRay makes it.
template <class W>
ShearedRay shearedOf(const PacketRays<W>& lanes, const OnePointRays& rays, uint32_t k) {
    if (!lanes.sameAxes)
        return lanes.sheared[k];
    const float o[3] = {rays.origin.x, rays.origin.y, rays.origin.z};
    const int* a = lanes.axes;
    return {a[0],           a[1], a[2], o[a[0]], o[a[1]], o[a[2]], lanes.shearX[k], lanes.shearY[k],
            lanes.shearZ[k]};
}

// Ray k's direction; lanes past the rays' count repeat the first.
inline Vector3 directionOf(const OnePointRays& rays, uint32_t k) {
    const uint32_t at = k < rays.count ? k : 0;
    return {rays.direction[0][at], rays.direction[1][at], rays.direction[2][at]};
}

inline QueryRay queryOf(const OnePointRays& rays, uint32_t k) {
    return {rays.origin,
            {rays.direction[0][k], rays.direction[1][k], rays.direction[2][k]},
            rays.tnear[k],
            rays.tfar[k]};
}

// Each lane's part in the tests, worked out for all of them at once where
// their rays share their sheared axes (a block of a frame always does):
// the same floats shearRay and boxSlack work out for one.
template <class W>
void setUpLanes(const QueryBvh& bvh, const OnePointRays& rays, PacketRays<W>& lanes) {
    const typename W::Mask valid = W::Mask::ofBits((1u << rays.count) - 1);
    W d[3];
    W inverse[3];
    for (int axis = 0; axis < 3; ++axis) {
        // Lanes past count repeat the first ray and are never walked.
        d[axis] = select(valid, W::load(rays.direction[axis]), W(rays.direction[axis][0]));
        inverse[axis] = W(1.0f) / d[axis];
        inverse[axis].store(lanes.inverse[axis]);
        // 1/d carries d's sign, a zero's included.
        lanes.back[axis] = inverse[axis] < W(0.0f);
    }
    slackLanes(boundsReach(bvh, rays.origin), inverse).store(lanes.slack);
    select(valid, W::load(rays.tnear), W(rays.tnear[0])).store(lanes.tnear);
    select(valid, W::load(rays.tfar), W(rays.tfar[0])).store(lanes.tfar);
    const ShearedRay first = shearRay(rays.origin, directionOf(rays, 0));
    lanes.axes[0] = first.kx;
    lanes.axes[1] = first.ky;
    lanes.axes[2] = first.kz;
    // The axis each direction is longest on, and which way along it it runs,
    // as shearRay picks them.
    const W ax = abs(d[0]);
    const W ay = abs(d[1]);
    const typename W::Mask zLongest = abs(d[2]) > max(ax, ay);
    const typename W::Mask yLonger = !(ax > ay);
    const uint32_t onZ = bits(zLongest);
    const uint32_t onY = bits(andNot(zLongest, yLonger));
    const uint32_t all = bits(W::Mask::ofBits(~0u));
    const uint32_t expected = first.kz == 2 ? all : 0;
    const uint32_t expectedY = first.kz == 1 ? all : 0;
    const W dz = d[first.kz];
    const uint32_t down = bits(dz < W(0.0f));
    const uint32_t expectedDown = first.shearZ < 0.0f ? all : 0;
    lanes.sameAxes = onZ == expected && onY == expectedY && down == expectedDown;
    if (!lanes.sameAxes) {
        for (uint32_t k = 0; k < W::width; ++k) {
            lanes.sheared[k] = shearRay(rays.origin, directionOf(rays, k));
            lanes.shearX[k] = lanes.sheared[k].shearX;
            lanes.shearY[k] = lanes.sheared[k].shearY;
            lanes.shearZ[k] = lanes.sheared[k].shearZ;
        }
        return;
    }
    (d[first.kx] / dz).store(lanes.shearX);
    (d[first.ky] / dz).store(lanes.shearY);
    // 1 / dz: the reciprocal on the shear axis, worked out above.
    inverse[first.kz].store(lanes.shearZ);
}

// Takes a lane's candidate at t, the shape index-th of the input, as the lone
// walk's leaf test would: nearer, or as near and earlier in the input.
inline bool takeNearer(BvhHit& hit, bool found, float& tfar, float t, uint32_t index, uint32_t leaf,
                       uint32_t lane) {
    if (found && !(t < tfar) && index > hit.index)
        return false;
    hit = {t, index, leaf, lane};
    tfar = t;
    return true;
}

// A leaf of triangles against the walking rays, a triangle at a time on
// every lane (their sheared axes shared); found gains the rays that take a
// hit.
template <class W>
void triangleLeafForPacket(const QueryBvh& bvh, uint32_t leaf, const OnePointRays& rays,
                           PacketRays<W>& lanes, uint32_t walking, uint32_t& found, BvhHit* hits) {
    const float* rows = leafRows(bvh, leaf);
    const uint32_t count = leafCount(leaf);
    const float o[3] = {rays.origin.x, rays.origin.y, rays.origin.z};
    const int* axes = lanes.axes;
    const ShearedLanes<W> ray{W(o[axes[0]]),         W(o[axes[1]]),         W(o[axes[2]]),
                              W::load(lanes.shearX), W::load(lanes.shearY), W::load(lanes.shearZ)};
    const W tnear = W::load(lanes.tnear);
    const typename W::Mask valid = W::Mask::ofBits(walking);
    for (uint32_t i = 0; i < count; ++i) {
        W corners[3][3];
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k)
                corners[c][k] = W(rows[(3 * c + axes[k]) * count + i]);
        const WatertightHits<W> tested = watertightHits<W>(corners[0], corners[1], corners[2], ray,
                                                           tnear, W::load(lanes.tfar), valid);
        uint32_t accepted = bits(tested.accepted);
        uint32_t edges = bits(tested.onEdge);
        if ((accepted | edges) == 0)
            continue;
        alignas(64) float t[W::width];
        tested.t.store(t);
        // The lanes the test leaves open, taken again exactly as alone.
        for (; edges != 0; edges &= edges - 1) {
            const auto k = static_cast<uint32_t>(__builtin_ctz(edges));
            const auto corner = [&](int c) {
                const float* at = rows + 3 * c * count + i;
                return Vector3{at[0], at[count], at[2 * count]};
            };
            const bool hit = hitsTriangle(shearedOf(lanes, rays, k), corner(0), corner(1),
                                          corner(2), rays.tnear[k], lanes.tfar[k], t[k]);
            accepted = hit ? accepted | 1u << k : accepted & ~(1u << k);
        }
        const uint32_t index = leafShapeIndex(rows, triangleRows, count, i);
        for (; accepted != 0; accepted &= accepted - 1) {
            const auto k = static_cast<uint32_t>(__builtin_ctz(accepted));
            if (takeNearer(hits[k], (found >> k & 1u) != 0, lanes.tfar[k], t[k], index, leaf, i))
                found |= 1u << k;
        }
    }
}

} // namespace packet_detail

// The nearest hit of each of rays' count rays (at most W::width): bit k of
// the result says ray k has one, in hits[k].
template <class W, class F>
[[gnu::flatten]] uint32_t nearestFromOnePointLanes(const QueryBvh& bvh, const OnePointRays& rays,
                                                   BvhHit* hits) {
    using namespace packet_detail;
    if (bvh.root == noChild)
        return 0;
    PacketRays<W> lanes;
    setUpLanes<W>(bvh, rays, lanes);
    const W inv[3] = {W::load(lanes.inverse[0]), W::load(lanes.inverse[1]),
                      W::load(lanes.inverse[2])};
    const W near = W::load(lanes.tnear);
    const W pastBy = W::load(lanes.slack);
    const F origin[3] = {F(rays.origin.x), F(rays.origin.y), F(rays.origin.z)};
    struct Pending {
        uint32_t child;
        uint32_t rays;
        float entry; // the nearest of the rays' entries into its box
    };
    // One more than a walk defers: a child is written before it is known to
    // be met.
    Pending pending[bvhStackSize + 1];
    uint32_t top = 0;
    const uint32_t all = rays.count == 32 ? ~0u : (1u << rays.count) - 1;
    uint32_t found = 0;
    uint32_t child = bvh.root;
    uint32_t walking = all;
    for (;;) {
        if ((walking & (walking - 1)) == 0) {
            // One ray left here: its own walk takes the subtree.
            const auto k = static_cast<uint32_t>(__builtin_ctz(walking));
            const QueryRay ray = queryOf(rays, k);
            // With the difference taken first, as the shared test takes it:
            // one copy of the lone walk here.
            if (walkBvhFrom<F, false, false>(bvh, child, boxRayOf<F>(ray, lanes.slack[k]),
                                             lanes.slack[k], ray, shearedOf(lanes, rays, k),
                                             lanes.tfar[k], hits[k], (found >> k & 1u) != 0))
                found |= walking;
        } else if (!isLeafChild(child)) {
            const BvhNode& node = bvh.nodes[child];
            // Each box's planes less the shared origin, as the lone walk
            // forms them: lower and upper by axis.
            alignas(64) float planes[6][bvhWidth];
            const float* rows[6] = {node.lowerX, node.upperX, node.lowerY,
                                    node.upperY, node.lowerZ, node.upperZ};
            for (int row = 0; row < 6; ++row)
                for (uint32_t first = 0; first < bvhWidth; first += F::width)
                    (F::load(rows[row] + first) - origin[row / 2]).store(planes[row] + first);
            const W leave = W::load(lanes.tfar) + pastBy;
            const uint32_t base = top;
            for (uint32_t k = 0; k < bvhWidth && node.child[k] != noChild; ++k) {
                W enters[3];
                W leaves[3];
                for (int axis = 0; axis < 3; ++axis) {
                    const W lower(planes[2 * axis][k]);
                    const W upper(planes[2 * axis + 1][k]);
                    enters[axis] = select(lanes.back[axis], upper, lower) * inv[axis];
                    leaves[axis] =
                        mulAdd(select(lanes.back[axis], lower, upper), inv[axis], pastBy);
                }
                const W enter = max(max(enters[0], enters[1]), max(enters[2], near));
                const W exit = min(min(leaves[0], leaves[1]), min(leaves[2], leave));
                const typename W::Mask met = enter <= exit;
                const uint32_t metRays = bits(met) & walking;
                if (metRays == 0)
                    continue;
                // Its memory asked for now, while the other boxes are tested.
                prefetchChild(bvh, node.child[k]);
                pending[top++] = {node.child[k], metRays,
                                  minLane(select(met, enter, W(noHitDistance)))};
            }
            nearestOnTop(pending, base, top);
        } else if (lanes.sameAxes && !isSphereLeaf(child) &&
                   static_cast<uint32_t>(__builtin_popcount(walking)) >= leastRaysForPacketLeaf) {
            triangleLeafForPacket<W>(bvh, child, rays, lanes, walking, found, hits);
        } else {
            for (uint32_t rest = walking; rest != 0; rest &= rest - 1) {
                const auto k = static_cast<uint32_t>(__builtin_ctz(rest));
                if (nearestInLeaf<F>(bvh, child, queryOf(rays, k), shearedOf(lanes, rays, k),
                                     (found >> k & 1u) != 0, lanes.tfar[k], hits[k]))
                    found |= 1u << k;
            }
        }
        // The next deferred child that some ray still needs: a ray whose hit
        // is nearer than the child's box, by more than its slack, does not.
        do {
            if (top == 0)
                return found;
            --top;
            const W reach = W::load(lanes.tfar) + pastBy;
            walking = pending[top].rays & bits(W(pending[top].entry) <= reach);
        } while (walking == 0);
        child = pending[top].child;
    }
}

} // namespace vantrel
