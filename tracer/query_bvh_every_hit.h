// Every hit of one ray through the queries' hierarchy, for counting the
// surfaces a segment crosses or listing them: each box the segment meets is
// walked, since no hit ends or shortens the walk.
#pragma once

#include <cstdint>
#include <utility>

#include "vantrel/bvh/bvh.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query_bvh_walk.h"
#include "vantrel/tracer/query_leaf_kernel.h"

namespace vantrel {

// The lanes of mask, each with its distance in t, handed to sink.
template <class F>
[[gnu::always_inline]] inline void takeLanes(uint32_t mask, const F& t, const float* rows,
                                             uint32_t rowCount, uint32_t count, uint32_t first,
                                             const HitSink& sink) {
    alignas(64) float distances[F::width];
    t.store(distances);
    for (; mask != 0; mask &= mask - 1) {
        const auto lane = static_cast<uint32_t>(__builtin_ctz(mask));
        sink.take(sink.data, distances[lane], leafShapeIndex(rows, rowCount, count, first + lane));
    }
}

// A leaf's hits: each triangle the segment crosses, each sphere where it
// enters and where it leaves in the segment; handed to sink where listing.
template <class F, bool listing>
[[gnu::always_inline]] inline uint32_t everyInLeaf(const QueryBvh& bvh, uint32_t leaf,
                                                   const QueryRay& ray, const ShearedRay& sheared,
                                                   float tfar, const HitSink& sink) {
    const float* rows = leafRows(bvh, leaf);
    const uint32_t count = leafCount(leaf);
    uint32_t hits = 0;
    if (isSphereLeaf(leaf)) {
        const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
        const float a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        for (uint32_t first = 0; first < count; first += F::width) {
            const auto row = [&](int k) { return F::loadUnaligned(rows + k * count + first); };
            const QuerySphereRoots<F> roots =
                querySphereRoots<F>(F(ray.origin.x) - row(0), F(ray.origin.y) - row(1),
                                    F(ray.origin.z) - row(2), d, a, row(3));
            const typename F::Mask valid = roots.real & lanesBelow<F>(count, first);
            const F near(ray.tnear);
            const F far(tfar);
            const uint32_t nearer = bits(valid & (roots.nearer >= near) & (roots.nearer <= far));
            const uint32_t farther = bits(valid & (roots.farther >= near) & (roots.farther <= far));
            hits += static_cast<uint32_t>(__builtin_popcount(nearer) + __builtin_popcount(farther));
            if constexpr (listing) {
                takeLanes<F>(nearer, roots.nearer, rows, sphereRows, count, first, sink);
                takeLanes<F>(farther, roots.farther, rows, sphereRows, count, first, sink);
            }
        }
        return hits;
    }
    for (uint32_t first = 0; first < count; first += F::width) {
        F t;
        typename F::Mask accepted;
        triangleRowsStep<F>(rows, count, first, sheared, ray.tnear, tfar, t, accepted);
        const uint32_t crossed = bits(accepted);
        hits += static_cast<uint32_t>(__builtin_popcount(crossed));
        if constexpr (listing)
            takeLanes<F>(crossed, t, rows, triangleRows, count, first, sink);
    }
    return hits;
}

// How many children a walk for every hit holds back, once taken from its
// stack, before it visits them.
constexpr uint32_t childrenHeldBack = 8;

template <class F, bool listing, bool fused>
[[gnu::always_inline]] inline uint32_t
everyInBvhWalk(const QueryBvh& bvh, const BoxRay<F>& box, const QueryRay& ray,
               const ShearedRay& sheared, float tfar, const HitSink& sink) {
    const F leaveBy = F(tfar) + box.slack;
    alignas(64) float entries[bvhWidth];
    uint32_t hits = 0;
    // A child met is visited some steps after its lines are asked for, when
    // they have come in: the walk visits every box the segment meets, and
    // waited on memory at most of them when it visited the child it had just
    // met. Hits come in no order, so the order of visits is free.
    uint32_t pending[2 * bvhStackSize + bvhWidth];
    uint32_t top = 0;
    uint32_t held[childrenHeldBack];
    uint32_t heldCount = 0;
    uint32_t oldest = 0;
    pending[top++] = bvh.root;
    for (;;) {
        uint32_t child;
        if (top != 0) {
            child = pending[--top];
            // Past this, depth first at once, which defers at most
            // bvhStackSize more: the stack's bound, however far the held
            // children widened the walk.
            if (__builtin_expect(top < bvhStackSize, 1)) {
                if (heldCount < childrenHeldBack) {
                    held[(oldest + heldCount++) % childrenHeldBack] = child;
                    continue;
                }
                std::swap(child, held[oldest]);
                oldest = (oldest + 1) % childrenHeldBack;
            }
        } else if (heldCount != 0) {
            child = held[oldest];
            oldest = (oldest + 1) % childrenHeldBack;
            --heldCount;
        } else {
            return hits;
        }
        if (isLeafChild(child)) {
            hits += everyInLeaf<F, listing>(bvh, child, ray, sheared, tfar, sink);
            continue;
        }
        const BvhNode& node = bvh.nodes[child];
        for (uint32_t met = childrenMet<F, fused>(node, box, leaveBy, entries); met != 0;
             met &= met - 1) {
            pending[top] = node.child[__builtin_ctz(met)];
            prefetchChild(bvh, pending[top++]);
        }
    }
}

// A count is walked without the sink's call in its loop: the call, taken
// or not, kept the ray's box rows in memory rather than in registers.
template <class F>
[[gnu::flatten]] uint32_t everyInBvhLanes(const QueryBvh& bvh, const QueryRay& ray,
                                          const ShearedRay& sheared, float tfar,
                                          const HitSink& sink) {
    if (bvh.root == noChild)
        return 0;
    const BoxRay<F> box = boxRayOf<F>(bvh, ray);
    if (box.fused)
        return sink.take ? everyInBvhWalk<F, true, true>(bvh, box, ray, sheared, tfar, sink)
                         : everyInBvhWalk<F, false, true>(bvh, box, ray, sheared, tfar, sink);
    return sink.take ? everyInBvhWalk<F, true, false>(bvh, box, ray, sheared, tfar, sink)
                     : everyInBvhWalk<F, false, false>(bvh, box, ray, sheared, tfar, sink);
}

} // namespace vantrel
