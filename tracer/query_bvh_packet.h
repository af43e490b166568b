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

#include <cstdint>

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
    typename W::Mask back[3]; // the direction runs down the axis
    bool sameAxes;            // every ray's sheared axes are the first's
};

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
// every lane; found gains the rays that take a hit.
template <class W>
void triangleLeafForPacket(const QueryBvh& bvh, uint32_t leaf, const QueryRay* rays,
                           const ShearedRay* sheared, PacketRays<W>& lanes, uint32_t walking,
                           uint32_t& found, BvhHit* hits) {
    const float* rows = leafRows(bvh, leaf);
    const uint32_t count = leafCount(leaf);
    const ShearedRay& first = sheared[__builtin_ctz(walking)];
    const ShearedLanes<W> ray{W(first.ox),           W(first.oy),           W(first.oz),
                              W::load(lanes.shearX), W::load(lanes.shearY), W::load(lanes.shearZ)};
    const W tnear = W::load(lanes.tnear);
    const typename W::Mask valid = W::Mask::ofBits(walking);
    const int axes[3] = {first.kx, first.ky, first.kz};
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
            const bool hit = hitsTriangle(sheared[k], corner(0), corner(1), corner(2),
                                          rays[k].tnear, lanes.tfar[k], t[k]);
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

// The nearest hit of each of count rays (at most W::width, traceable, each
// with its end in tfar) that leave one point: bit k of the result says ray
// k has one, in hits[k].
template <class W, class F>
[[gnu::flatten]] uint32_t nearestFromOnePointLanes(const QueryBvh& bvh, const QueryRay* rays,
                                                   const ShearedRay* sheared, const float* tfar,
                                                   uint32_t count, BvhHit* hits) {
    using namespace packet_detail;
    if (bvh.root == noChild)
        return 0;
    // Lanes past count repeat the first ray and are never walked.
    PacketRays<W> lanes;
    uint32_t backward[3] = {0, 0, 0};
    lanes.sameAxes = true;
    for (uint32_t lane = 0; lane < W::width; ++lane) {
        const uint32_t k = lane < count ? lane : 0;
        const float d[3] = {rays[k].direction.x, rays[k].direction.y, rays[k].direction.z};
        for (int axis = 0; axis < 3; ++axis) {
            lanes.inverse[axis][lane] = 1.0f / d[axis];
            backward[axis] |= (std::signbit(d[axis]) ? 1u : 0u) << lane;
        }
        lanes.slack[lane] = boxSlack(bvh, sheared[k]);
        lanes.tnear[lane] = rays[k].tnear;
        lanes.tfar[lane] = tfar[k];
        lanes.shearX[lane] = sheared[k].shearX;
        lanes.shearY[lane] = sheared[k].shearY;
        lanes.shearZ[lane] = sheared[k].shearZ;
        lanes.sameAxes = lanes.sameAxes && sheared[k].kx == sheared[0].kx &&
                         sheared[k].ky == sheared[0].ky && sheared[k].kz == sheared[0].kz;
    }
    for (int axis = 0; axis < 3; ++axis)
        lanes.back[axis] = W::Mask::ofBits(backward[axis]);
    const W inv[3] = {W::load(lanes.inverse[0]), W::load(lanes.inverse[1]),
                      W::load(lanes.inverse[2])};
    const W near = W::load(lanes.tnear);
    const W pastBy = W::load(lanes.slack);
    const F origin[3] = {F(rays[0].origin.x), F(rays[0].origin.y), F(rays[0].origin.z)};
    struct Pending {
        uint32_t child;
        uint32_t rays;
        float entry; // the nearest of the rays' entries into its box
    };
    // One more than a walk defers: a child is written before it is known to
    // be met.
    Pending pending[bvhStackSize + 1];
    uint32_t top = 0;
    const uint32_t all = count == 32 ? ~0u : (1u << count) - 1;
    uint32_t found = 0;
    uint32_t child = bvh.root;
    uint32_t walking = all;
    for (;;) {
        if ((walking & (walking - 1)) == 0) {
            // One ray left here: its own walk takes the subtree.
            const auto k = static_cast<uint32_t>(__builtin_ctz(walking));
            if (walkBvhFrom<F, false>(bvh, child, boxRayOf<F>(rays[k], lanes.slack[k]),
                                      lanes.slack[k], rays[k], sheared[k], lanes.tfar[k], hits[k],
                                      (found >> k & 1u) != 0))
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
                pending[top++] = {node.child[k], metRays,
                                  minLane(select(met, enter, W(noHitDistance)))};
            }
            // Farthest at the bottom, so the nearest is walked next.
            for (uint32_t i = base + 1; i < top; ++i) {
                const Pending moving = pending[i];
                uint32_t j = i;
                for (; j > base && pending[j - 1].entry < moving.entry; --j)
                    pending[j] = pending[j - 1];
                pending[j] = moving;
            }
        } else if (lanes.sameAxes && !isSphereLeaf(child) &&
                   static_cast<uint32_t>(__builtin_popcount(walking)) >= leastRaysForPacketLeaf) {
            triangleLeafForPacket<W>(bvh, child, rays, sheared, lanes, walking, found, hits);
        } else {
            for (uint32_t rest = walking; rest != 0; rest &= rest - 1) {
                const auto k = static_cast<uint32_t>(__builtin_ctz(rest));
                if (nearestInLeaf<F>(bvh, child, rays[k], sheared[k], (found >> k & 1u) != 0,
                                     lanes.tfar[k], hits[k]))
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
