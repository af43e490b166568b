// One ray through the queries' hierarchy (query_bvh.h), written once over
// the lane types as the leaf kernels are: a node's eight boxes in one step
// of eight lanes or eight steps of one; its leaves through the queries' leaf
// tests.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/query_bvh.h"
#include "vantrel/tracer/query_leaf_kernel.h"
#include "vantrel/tracer/watertight_triangle.h"

namespace vantrel {

// What a walk of the hierarchy found: the nearest shape and its distance.
struct BvhHit {
    float t;
    const void* object;
    PrimitiveType type;
    uint32_t entry; // in the list
};

using BvhRow = float (BvhNode::*)[bvhWidth];

// A ray's part in the box tests, worked out once.
struct BoxRay {
    float origin[3];
    float inverse[3];
    // Per axis, the rows holding the planes the ray crosses first and last.
    BvhRow nearRow[3];
    BvhRow farRow[3];
    // How far past a box the ray may pass and still walk it: 2^-18 of the
    // largest distance in the hierarchy's bounds, well beyond the few parts
    // in 2^24 that rounding moves a distance, so that no shape the triangle
    // or sphere test hits is passed by.
    float slack;
};

// False where the segment misses the hierarchy's bounds. A distance that is
// NaN (a ray in a face's plane, parallel to it) bounds nothing: the max and
// min of the lanes take the other operand.
[[gnu::always_inline]] inline bool boxRayOf(const QueryBvh& bvh, const QueryRay& ray, float tfar,
                                            BoxRay& box) {
    static_assert(bvhWidth == sphereGroupLanes, "a node's rows load as a group's");
    const BvhRow lower[3] = {&BvhNode::lowerX, &BvhNode::lowerY, &BvhNode::lowerZ};
    const BvhRow upper[3] = {&BvhNode::upperX, &BvhNode::upperY, &BvhNode::upperZ};
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    float entry = ray.tnear;
    float exit = tfar;
    for (int k = 0; k < 3; ++k) {
        // A zero component's sign still picks a side, by its reciprocal's.
        const bool back = std::signbit(d[k]);
        box.origin[k] = o[k];
        box.inverse[k] = 1.0f / d[k];
        box.nearRow[k] = back ? upper[k] : lower[k];
        box.farRow[k] = back ? lower[k] : upper[k];
        const float nearT = ((back ? bvh.boundsMax[k] : bvh.boundsMin[k]) - o[k]) * box.inverse[k];
        const float farT = ((back ? bvh.boundsMin[k] : bvh.boundsMax[k]) - o[k]) * box.inverse[k];
        entry = nearT > entry ? nearT : entry;
        exit = farT < exit ? farT : exit;
    }
    box.slack = 0x1p-18f * std::max(std::fabs(entry), std::fabs(exit));
    return entry <= exit + box.slack;
}

// Bit k set where the segment [tnear, tfar] meets child k's box; entries
// gets where it enters each.
template <class F>
[[gnu::always_inline]] inline uint32_t childrenMet(const BvhNode& node, const BoxRay& box,
                                                   float tnear, float tfar, float* entries) {
    static_assert(bvhWidth % F::width == 0, "steps tile a node");
    uint32_t met = 0;
    for (uint32_t first = 0; first < bvhWidth; first += F::width) {
        const auto row = [&](BvhRow r) { return loadRow<F>(&node, first, bvhWidth, r); };
        F enter(tnear);
        F leave(tfar);
        for (int k = 0; k < 3; ++k) {
            const F o(box.origin[k]);
            const F inverse(box.inverse[k]);
            enter = max((row(box.nearRow[k]) - o) * inverse, enter);
            leave = min((row(box.farRow[k]) - o) * inverse, leave);
        }
        met |= bits(enter <= leave + F(box.slack)) << first;
        enter.store(entries + first);
    }
    return met;
}

// Tests leaf k's shapes, nearest hit: the first in the leaf at the smallest
// distance, taken where it is nearer than what the walk has, or as near and
// earlier in the list, so that what is found does not hang on the walk's
// order. Every lane of a group is tested, its padding accepting nothing.
template <class F>
[[gnu::always_inline]] inline bool nearestInLeaf(const QueryBvh& bvh, uint32_t k,
                                                 const QueryRay& ray, const ShearedRay& sheared,
                                                 bool found, float& tfar, BvhHit& hit) {
    bool taken = false;
    const auto take = [&](float t, uint32_t entry, const void* object, PrimitiveType type) {
        if (found && !(t < tfar) && entry > hit.entry)
            return;
        hit = {t, object, type, entry};
        // Its weights and material are read once the walk ends.
        __builtin_prefetch(object);
        tfar = t;
        found = taken = true;
    };
    float t;
    if (!bvh.triangleGroups.empty()) {
        const TriangleGroup& group = bvh.triangleGroups[k];
        const uint32_t lane =
            nearestTriangleQueryLanes<F>(&group, triangleGroupLanes, sheared, ray.tnear, tfar, t);
        if (lane != noEntry)
            take(t, bvh.triangleEntries[k * triangleGroupLanes + lane], group.triangle[lane],
                 PrimitiveType::Triangle);
    }
    if (!bvh.sphereGroups.empty()) {
        const SphereGroup& group = bvh.sphereGroups[k];
        const uint32_t lane = nearestSphereQueryLanes<F>(
            &group, sphereGroupLanes, {ray.origin, ray.direction}, ray.tnear, tfar, t);
        if (lane != noEntry)
            take(t, bvh.sphereEntries[k * sphereGroupLanes + lane], group.sphere[lane],
                 PrimitiveType::Sphere);
    }
    return taken;
}

template <class F>
[[gnu::always_inline]] inline bool anyInLeaf(const QueryBvh& bvh, uint32_t k, const QueryRay& ray,
                                             const ShearedRay& sheared, float tfar) {
    float t;
    return (!bvh.triangleGroups.empty() &&
            anyTriangleQueryLanes<F>(&bvh.triangleGroups[k], triangleGroupLanes, sheared, ray.tnear,
                                     tfar)) ||
           (!bvh.sphereGroups.empty() &&
            nearestSphereQueryLanes<F>(&bvh.sphereGroups[k], sphereGroupLanes,
                                       {ray.origin, ray.direction}, ray.tnear, tfar, t) != noEntry);
}

// The lines of a child that its test reads.
[[gnu::always_inline]] inline void prefetchChild(const QueryBvh& bvh, uint32_t child) {
    constexpr int line = 64;
    if ((child & leafChild) == 0) {
        const char* node = reinterpret_cast<const char*>(&bvh.nodes[child]);
        for (int at = 0; at < static_cast<int>(sizeof(BvhNode)); at += line)
            __builtin_prefetch(node + at);
        return;
    }
    const uint32_t leaf = child & ~leafChild;
    if (!bvh.triangleGroups.empty()) {
        // The corners' rows; the normals and the triangles' places after
        // them are read only for a hit.
        const char* group = reinterpret_cast<const char*>(&bvh.triangleGroups[leaf]);
        for (int at = 0; at < static_cast<int>(offsetof(TriangleGroup, nx)); at += line)
            __builtin_prefetch(group + at);
    }
    if (!bvh.sphereGroups.empty()) {
        const char* group = reinterpret_cast<const char*>(&bvh.sphereGroups[leaf]);
        for (int at = 0; at < static_cast<int>(offsetof(SphereGroup, sphere)); at += line)
            __builtin_prefetch(group + at);
    }
}

// Nearest hit: children nearest first, and a deferred child is dropped once
// the hit found is nearer than its box. Occlusion (anyHit): the first hit
// ends the walk, and the order is the node's.
template <class F, bool anyHit>
[[gnu::flatten]] bool walkBvh(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                              float& tfar, BvhHit& hit) {
    BoxRay box;
    if (bvh.root == noChild || !boxRayOf(bvh, ray, tfar, box))
        return false;
    struct Pending {
        uint32_t child;
        float entry;
    };
    Pending pending[bvhStackSize];
    uint32_t top = 0;
    alignas(64) float entries[bvhWidth];
    uint32_t child = bvh.root;
    bool found = false;
    for (;;) {
        if ((child & leafChild) == 0) {
            const BvhNode& node = bvh.nodes[child];
            uint32_t met = childrenMet<F>(node, box, ray.tnear, tfar, entries);
            // The children's memory asked for at once rather than a miss at a
            // time as the walk reaches each.
            for (uint32_t ahead = met; ahead != 0; ahead &= ahead - 1)
                prefetchChild(bvh, node.child[__builtin_ctz(ahead)]);
            if (met != 0) {
                const auto first = static_cast<uint32_t>(__builtin_ctz(met));
                met &= met - 1;
                child = node.child[first];
                if (met == 0)
                    continue;
                const uint32_t base = top;
                pending[top++] = {child, entries[first]};
                for (; met != 0; met &= met - 1) {
                    const auto k = static_cast<uint32_t>(__builtin_ctz(met));
                    pending[top++] = {node.child[k], entries[k]};
                }
                if constexpr (!anyHit) {
                    // Farthest at the bottom, so the nearest is walked next.
                    for (uint32_t i = base + 1; i < top; ++i) {
                        const Pending moving = pending[i];
                        uint32_t j = i;
                        for (; j > base && pending[j - 1].entry < moving.entry; --j)
                            pending[j] = pending[j - 1];
                        pending[j] = moving;
                    }
                }
                child = pending[--top].child;
                continue;
            }
        } else {
            const uint32_t leaf = child & ~leafChild;
            if constexpr (anyHit) {
                if (anyInLeaf<F>(bvh, leaf, ray, sheared, tfar))
                    return true;
            } else {
                found = nearestInLeaf<F>(bvh, leaf, ray, sheared, found, tfar, hit) || found;
            }
        }
        do {
            if (top == 0)
                return found;
            --top;
        } while (!anyHit && pending[top].entry > tfar + box.slack);
        child = pending[top].child;
    }
}

template <class F>
bool nearestInBvhLanes(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                       float tfar, BvhHit& hit) {
    return walkBvh<F, false>(bvh, ray, sheared, tfar, hit);
}

template <class F>
bool anyInBvhLanes(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                   float tfar) {
    BvhHit unused;
    return walkBvh<F, true>(bvh, ray, sheared, tfar, unused);
}

} // namespace vantrel
