// One ray through the queries' hierarchy (query_bvh.h), written once over
// the lane types as the leaf kernels are: a node's eight boxes in one step
// of eight lanes or eight steps of one; its leaves through the queries' leaf
// tests.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "vantrel/bvh/bvh.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/lanes_scalar.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/query_leaf_kernel.h"
#include "vantrel/tracer/watertight_triangle.h"

namespace vantrel {

// A ray's part in the box tests, worked out once per walk and spread over
// the lanes, so that a node's test only reads it.
template <class F> struct BoxRay {
    F origin[3];
    F inverse[3];
    // Where fused (reciprocals and starts finite, tnear not below zero), a
    // plane p's distance is p * inverse + start in one fused step:
    // nearStart for the planes the ray crosses first, farStart (with the
    // slack in it) for the last.
    F nearStart[3];
    F farStart[3];
    bool fused;
    F tnear;
    // How far past a box the ray may pass and still walk it (boxSlack).
    F slack;
    // Per axis, the byte offset in a node of the row holding the planes the
    // ray crosses first; the last are in the row beside it (farRowOf).
    uint32_t nearRow[3];
};

// A node's rows go lower, upper by axis, each pair starting on a multiple of
// two rows, so that the other of a pair is one bit of the offset away: three
// offsets a walk instead of six, which frees registers the walk spills.
constexpr uint32_t bvhRowBytes = sizeof(float) * bvhWidth;
static_assert(offsetof(BvhNode, upperX) == bvhRowBytes &&
                  offsetof(BvhNode, lowerY) == 2 * bvhRowBytes &&
                  offsetof(BvhNode, upperY) == 3 * bvhRowBytes &&
                  offsetof(BvhNode, lowerZ) == 4 * bvhRowBytes &&
                  offsetof(BvhNode, upperZ) == 5 * bvhRowBytes,
              "rows in pairs");
[[gnu::always_inline]] inline uint32_t farRowOf(uint32_t nearRow) {
    return nearRow ^ bvhRowBytes;
}

// 2^-18 of the largest distance, in t, to a point in the hierarchy's
// bounds: well beyond the few parts in 2^24 that rounding moves a distance,
// so that no shape the triangle or sphere test hits is passed by. A point
// at t on the ray lies t |d_k| from the origin on each axis k, so none of
// the bounds lies farther than the origin's largest reach to them on any
// axis times the least reciprocal (the direction's longest component's).
// That waits on the reciprocals alone: the first node's test waits on
// neither the shear, which measured 5 % of a query, nor a clip to the
// bounds.
[[gnu::always_inline]] inline float boundsReach(const QueryBvh& bvh, const Vector3& origin) {
    const float o[3] = {origin.x, origin.y, origin.z};
    float reach = 0.0f;
    for (int k = 0; k < 3; ++k)
        reach = std::max(reach, std::max(std::fabs(bvh.boundsMin[k] - o[k]),
                                         std::fabs(bvh.boundsMax[k] - o[k])));
    return reach;
}

// One ray a lane, from its reciprocals by axis; reach: boundsReach of the
// rays' origin.
template <class F>
[[gnu::always_inline]] inline F slackLanes(float reach, const F (&inverse)[3]) {
    const F least = min(min(abs(inverse[0]), abs(inverse[1])), abs(inverse[2]));
    const F slack = F(0x1p-18f * reach) * least;
    // Past the floats, or NaN where a direction too short to invert meets a
    // flat hierarchy: every box is walked, and the shapes' tests decide.
    return select(slack <= F(FLT_MAX), slack, F(FLT_MAX));
}

[[gnu::always_inline]] inline float boxSlack(float reach, const float (&inverse)[3]) {
    const scalar::Floats lanes[3] = {inverse[0], inverse[1], inverse[2]};
    return slackLanes(reach, lanes).v;
}

// 1 / d by axis, in one division of four lanes rather than three: the
// walk's first box test waits on it. The same floats as three divisions.
[[gnu::always_inline]] inline void inverseOf(const Vector3& direction, float (&inverse)[3]) {
    using Four = float __attribute__((vector_size(16)));
    const Four d = {direction.x, direction.y, direction.z, 1.0f};
    const Four out = 1.0f / d;
    inverse[0] = out[0];
    inverse[1] = out[1];
    inverse[2] = out[2];
}

template <class F>
[[gnu::always_inline]] inline BoxRay<F> boxRayOf(const QueryRay& ray, const float (&inv)[3],
                                                 float slack) {
    // By axis, and by whether the direction runs down it: read by index, as
    // a branch on the sign is mispredicted for rays of random directions.
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    BoxRay<F> box;
    box.fused = true;
    for (int k = 0; k < 3; ++k) {
        // A zero component's sign still picks a side, by its reciprocal's.
        const int back = std::signbit(d[k]) ? 1 : 0;
        box.origin[k] = F(o[k]);
        box.inverse[k] = F(inv[k]);
        box.nearRow[k] = (2 * k + back) * bvhRowBytes;
        // (p - o) * inverse as p * inverse - o * inverse takes the
        // subtraction off the path each node's test waits on, but o *
        // inverse is rounded ahead, and is large beside the distance where
        // the origin lies far from zero. 2^-20 of it, taken off the near
        // planes' distances and added to the far ones', covers that
        // rounding, the starts' own and the product's where the lanes do
        // not fuse (at most four parts in 2^24 of it), so that every box
        // the difference meets is met; the least normal float covers
        // products too small to round relatively.
        const float product = o[k] * inv[k];
        const float rounding = std::max(0x1p-20f * std::fabs(product), FLT_MIN);
        const float nearStart = -product - rounding;
        const float farStart = -product + rounding + slack;
        box.nearStart[k] = F(nearStart);
        box.farStart[k] = F(farStart);
        // A zero component's infinite reciprocal, or a product past the
        // floats: the difference is taken first, as it then must be.
        box.fused = box.fused && std::isfinite(inv[k]) && std::isfinite(nearStart) &&
                    std::isfinite(farStart);
    }
    // The bits' order is the floats' only from zero up; -0 is taken as +0.
    box.fused = box.fused && ray.tnear >= 0.0f;
    box.tnear = F(ray.tnear + 0.0f);
    box.slack = F(slack);
    return box;
}

template <class F>
[[gnu::always_inline]] inline BoxRay<F> boxRayOf(const QueryRay& ray, float slack) {
    float inverse[3];
    inverseOf(ray.direction, inverse);
    return boxRayOf<F>(ray, inverse, slack);
}

// A lone walk's box ray, and its slack in slack.
template <class F>
[[gnu::always_inline]] inline BoxRay<F> boxRayOf(const QueryBvh& bvh, const QueryRay& ray,
                                                 float& slack) {
    float inverse[3];
    inverseOf(ray.direction, inverse);
    slack = boxSlack(boundsReach(bvh, ray.origin), inverse);
    return boxRayOf<F>(ray, inverse, slack);
}

template <class F>
[[gnu::always_inline]] inline BoxRay<F> boxRayOf(const QueryBvh& bvh, const QueryRay& ray) {
    float slack;
    return boxRayOf<F>(bvh, ray, slack);
}

// Bit k set where the segment [tnear, tfar] meets child k's box, leaveBy
// being tfar plus the slack; entries gets where it enters each. A distance
// that is NaN (a ray in a face's plane, parallel to it) bounds nothing, and
// may take the other of its pair with it: the max and min of the lanes give
// their second operand for a NaN. So the segment can only come out longer,
// and no box is passed by for it.
template <class F, bool fused>
[[gnu::always_inline]] inline uint32_t childrenMet(const BvhNode& node, const BoxRay<F>& box,
                                                   const F& leaveBy, float* entries) {
    static_assert(bvhWidth % F::width == 0, "steps tile a node");
    uint32_t met = 0;
    for (uint32_t first = 0; first < bvhWidth; first += F::width) {
        const char* rows = reinterpret_cast<const char*>(&node);
        const auto row = [&](uint32_t at) {
            return F::load(reinterpret_cast<const float*>(rows + at) + first);
        };
        F enters[3];
        F leaves[3];
        for (int k = 0; k < 3; ++k) {
            const F near = row(box.nearRow[k]);
            const F far = row(farRowOf(box.nearRow[k]));
            if constexpr (fused) {
                enters[k] = mulAdd(near, box.inverse[k], box.nearStart[k]);
                leaves[k] = mulAdd(far, box.inverse[k], box.farStart[k]);
            } else {
                enters[k] = (near - box.origin[k]) * box.inverse[k];
                leaves[k] = mulAdd(far - box.origin[k], box.inverse[k], box.slack);
            }
        }
        // In pairs rather than in a chain: the walk waits on each node's test.
        F enter;
        uint32_t inside;
        if constexpr (fused) {
            // No NaN here, and tnear is not below +0: by their bits as
            // integers, one cycle an operation rather than four, enter,
            // leave and their order are the floats' own, but for a far end
            // rounded to -0 from below zero, whose box the exact distances
            // pass by too (its start is no -0, so a zero sum is +0).
            enter = maxOfBits(maxOfBits(enters[0], enters[1]), maxOfBits(enters[2], box.tnear));
            const F leave =
                minOfBits(minOfBits(leaves[0], leaves[1]), minOfBits(leaves[2], leaveBy));
            inside = bits(aboveOfBits(enter, leave)) ^ ((1u << F::width) - 1);
        } else {
            enter = max(max(enters[0], enters[1]), max(enters[2], box.tnear));
            const F leave = min(min(leaves[0], leaves[1]), min(leaves[2], leaveBy));
            inside = bits(enter <= leave);
        }
        met |= inside << first;
        enter.store(entries + first);
    }
    return met;
}

// Asks memory for the materials of a leaf's shapes, at the end of their
// records, where the list keeps those at one stride.
[[gnu::always_inline]] inline void prefetchMaterials(const QueryBvh& bvh, const float* rows,
                                                     uint32_t leaf) {
    static_assert(offsetof(Triangle, material) + sizeof(Material) == sizeof(Triangle) &&
                      offsetof(Sphere, material) + sizeof(Material) == sizeof(Sphere),
                  "a record ends with its material");
    const uint32_t count = leafCount(leaf);
    const uint32_t rowCount = isSphereLeaf(leaf) ? sphereRows : triangleRows;
    for (uint32_t lane = 0; lane < count; ++lane) {
        const uint32_t next = leafShapeIndex(rows, rowCount, count, lane) + 1;
        __builtin_prefetch(reinterpret_cast<const void*>(recordAddress(bvh, next) - 1));
    }
}

// Tests a leaf's shapes, nearest hit: the first in the leaf at the smallest
// distance, taken where it is nearer than what the walk has, or as near and
// earlier in the input, so that what is found does not hang on the walk's
// order.
template <class F>
[[gnu::always_inline]] inline bool nearestInLeaf(const QueryBvh& bvh, uint32_t leaf,
                                                 const QueryRay& ray, const ShearedRay& sheared,
                                                 bool found, float& tfar, BvhHit& hit) {
    const float* rows = leafRows(bvh, leaf);
    const uint32_t count = leafCount(leaf);
    // Where the shapes' materials differ, the query reads the hit's from its
    // record once the walk is done, for most rays soon after the first hit:
    // too soon for a request made at the hit, so until then each leaf's are
    // asked for first.
    if (!found && bvh.recordStride != 0 && !bvh.oneMaterial)
        prefetchMaterials(bvh, rows, leaf);
    float t;
    uint32_t lane;
    uint32_t rowCount;
    if (isSphereLeaf(leaf)) {
        lane =
            nearestSphereRowsLanes<F>(rows, count, {ray.origin, ray.direction}, ray.tnear, tfar, t);
        rowCount = sphereRows;
    } else {
        lane = nearestTriangleRowsLanes<F>(rows, count, sheared, ray.tnear, tfar, t);
        rowCount = triangleRows;
    }
    if (lane == noEntry)
        return false;
    const uint32_t index = leafShapeIndex(rows, rowCount, count, lane);
    if (found && !(t < tfar) && index > hit.index)
        return false;
    hit = {t, index, leaf, lane};
    tfar = t;
    return true;
}

template <class F>
[[gnu::always_inline]] inline bool anyInLeaf(const QueryBvh& bvh, uint32_t leaf,
                                             const QueryRay& ray, const ShearedRay& sheared,
                                             float tfar) {
    const float* rows = leafRows(bvh, leaf);
    const uint32_t count = leafCount(leaf);
    float t;
    return isSphereLeaf(leaf) ? nearestSphereRowsLanes<F>(rows, count, {ray.origin, ray.direction},
                                                          ray.tnear, tfar, t) != noEntry
                              : anyTriangleRowsLanes<F>(rows, count, sheared, ray.tnear, tfar);
}

// The lines of a child that its test reads, a fixed count of them, so that
// no loop is mispredicted: a node's, or as many as the largest leaf may
// span, which a smaller one's neighbours fill.
[[gnu::always_inline]] inline void prefetchChild(const QueryBvh& bvh, uint32_t child) {
    constexpr int line = 64;
    static_assert(alignof(BvhNode) == line, "a node starts a line");
    constexpr int leafLines =
        (mostInBvhLeaf * triangleRows * static_cast<int>(sizeof(float)) + line - 1) / line + 1;
    const char* start;
    if (!isLeafChild(child)) {
        start = reinterpret_cast<const char*>(&bvh.nodes[child]);
        for (int at = 0; at < static_cast<int>(sizeof(BvhNode)); at += line)
            __builtin_prefetch(start + at);
        return;
    }
    // The shapes' numbers; their indices are read only for a hit.
    start = reinterpret_cast<const char*>(leafRows(bvh, child));
    const char* first = start - (reinterpret_cast<uintptr_t>(start) & (line - 1));
    for (int at = 0; at < leafLines * line; at += line)
        __builtin_prefetch(first + at);
}

// Sorts the children just pushed, pending[base] to pending[top - 1], by
// their entries, the farthest at the bottom: the nearest is walked next.
template <class Pending>
[[gnu::always_inline]] inline void nearestOnTop(Pending* pending, uint32_t base, uint32_t top) {
    for (uint32_t i = base + 1; i < top; ++i) {
        const Pending moving = pending[i];
        uint32_t j = i;
        for (; j > base && pending[j - 1].entry < moving.entry; --j)
            pending[j] = pending[j - 1];
        pending[j] = moving;
    }
}

// Nearest hit: children nearest first, and a deferred child is dropped once
// the hit found is nearer than its box. Occlusion (anyHit): the first hit
// ends the walk, and the order is the node's. From child from on, whose box
// the ray meets, with box formed for it with slack; where found, hit holds
// what an earlier part of the walk found, at tfar.
template <class F, bool anyHit, bool fused>
[[gnu::always_inline]] inline bool
walkBvhFrom(const QueryBvh& bvh, uint32_t from, const BoxRay<F>& box, float slack,
            const QueryRay& ray, const ShearedRay& sheared, float& tfar, BvhHit& hit, bool found) {
    struct Pending {
        uint32_t child;
        float entry;
    };
    Pending pending[bvhStackSize];
    uint32_t top = 0;
    alignas(64) float entries[bvhWidth];
    uint32_t child = from;
    // Changes only with a nearer hit.
    F leaveBy = F(tfar) + box.slack;
    for (;;) {
        // Down through nodes to a leaf, in a loop of its own so that the
        // ray's rows stay in registers there rather than around the leaf
        // test's.
        bool atLeaf = true;
        while (!isLeafChild(child)) {
            const BvhNode& node = bvh.nodes[child];
            // Memory asked for ahead: the line of the children's codes with
            // the boxes' rows, rather than once the test is done with them;
            // and each child deferred, as it is pushed rather than when the
            // walk comes back to it. The child walked next asks for its
            // lines at once by its own test.
            __builtin_prefetch(node.child);
            uint32_t met = childrenMet<F, fused>(node, box, leaveBy, entries);
            if (met == 0) {
                atLeaf = false;
                break;
            }
            const auto first = static_cast<uint32_t>(__builtin_ctz(met));
            met &= met - 1;
            child = node.child[first];
            if (met == 0)
                continue;
            if constexpr (!anyHit) {
                // Two, at about a node in four that a ray tests: the
                // nearer is walked at once and the other pushed, without
                // the stack's sort, which the next node's load would wait
                // on, and without a branch, as which is nearer is a guess.
                if ((met & (met - 1)) == 0) {
                    const auto second = static_cast<uint32_t>(__builtin_ctz(met));
                    const uint32_t swap =
                        0u - static_cast<uint32_t>(entries[second] <= entries[first]);
                    const uint32_t nearer = first ^ ((first ^ second) & swap);
                    const uint32_t farther = first ^ second ^ nearer;
                    pending[top++] = {node.child[farther], entries[farther]};
                    prefetchChild(bvh, node.child[farther]);
                    child = node.child[nearer];
                    continue;
                }
            }
            const uint32_t base = top;
            pending[top++] = {child, entries[first]};
            if constexpr (!anyHit)
                prefetchChild(bvh, child);
            for (; met != 0; met &= met - 1) {
                const auto k = static_cast<uint32_t>(__builtin_ctz(met));
                pending[top++] = {node.child[k], entries[k]};
                prefetchChild(bvh, node.child[k]);
            }
            if constexpr (!anyHit)
                nearestOnTop(pending, base, top);
            child = pending[--top].child;
        }
        if (atLeaf) {
            if constexpr (anyHit) {
                if (anyInLeaf<F>(bvh, child, ray, sheared, tfar))
                    return true;
            } else {
                if (nearestInLeaf<F>(bvh, child, ray, sheared, found, tfar, hit)) {
                    found = true;
                    leaveBy = F(tfar) + box.slack;
                }
            }
        }
        do {
            if (top == 0)
                return found;
            --top;
        } while (!anyHit && pending[top].entry > tfar + slack);
        child = pending[top].child;
    }
}

template <class F, bool anyHit>
[[gnu::flatten]] bool walkBvh(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                              float& tfar, BvhHit& hit) {
    if (bvh.root == noChild)
        return false;
    float slack;
    const BoxRay<F> box = boxRayOf<F>(bvh, ray, slack);
    return box.fused ? walkBvhFrom<F, anyHit, true>(bvh, bvh.root, box, slack, ray, sheared, tfar,
                                                    hit, false)
                     : walkBvhFrom<F, anyHit, false>(bvh, bvh.root, box, slack, ray, sheared, tfar,
                                                     hit, false);
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

// Occlusion for rays that leave one point, as a shading point's samples do,
// walked together: a node's boxes are read once for all of them, W's lanes
// testing each box for every ray at once. A leaf's shapes are tested for
// each ray that reaches it as its lone walk tests them, and where one ray is
// left, its lone walk takes the rest of the subtree. Each ray meets the
// boxes its lone walk meets, by the same floats, so it answers as it would
// alone. count is at most W::width; bit k of the result: ray k is occluded.
template <class W, class F>
[[gnu::flatten]] uint32_t anyFromOnePointLanes(const QueryBvh& bvh, const QueryRay* rays,
                                               const ShearedRay* sheared, const float* tfar,
                                               uint32_t count) {
    if (bvh.root == noChild)
        return 0;
    // Per ray, what its lone walk's BoxRay holds; lanes past count repeat
    // the first ray and are never asked about.
    alignas(64) float inverse[3][W::width];
    alignas(64) float tnear[W::width];
    alignas(64) float slack[W::width];
    alignas(64) float leaveBy[W::width];
    uint32_t backward[3] = {0, 0, 0};
    const float reach = boundsReach(bvh, rays[0].origin);
    for (uint32_t lane = 0; lane < W::width; ++lane) {
        const uint32_t k = lane < count ? lane : 0;
        const float d[3] = {rays[k].direction.x, rays[k].direction.y, rays[k].direction.z};
        float inverseOfRay[3];
        for (int axis = 0; axis < 3; ++axis) {
            inverseOfRay[axis] = 1.0f / d[axis];
            inverse[axis][lane] = inverseOfRay[axis];
            backward[axis] |= (std::signbit(d[axis]) ? 1u : 0u) << lane;
        }
        slack[lane] = boxSlack(reach, inverseOfRay);
        tnear[lane] = rays[k].tnear;
        leaveBy[lane] = tfar[k] + slack[lane];
    }
    const W inv[3] = {W::load(inverse[0]), W::load(inverse[1]), W::load(inverse[2])};
    const typename W::Mask back[3] = {W::Mask::ofBits(backward[0]), W::Mask::ofBits(backward[1]),
                                      W::Mask::ofBits(backward[2])};
    const W near = W::load(tnear);
    const W pastBy = W::load(slack);
    const W leave = W::load(leaveBy);
    const F origin[3] = {F(rays[0].origin.x), F(rays[0].origin.y), F(rays[0].origin.z)};
    struct Pending {
        uint32_t child;
        uint32_t rays;
    };
    // One more than a walk defers: a child is written before it is known to
    // be met.
    Pending pending[bvhStackSize + 1];
    uint32_t top = 0;
    const uint32_t all = count == 32 ? ~0u : (1u << count) - 1;
    uint32_t occluded = 0;
    uint32_t child = bvh.root;
    uint32_t walking = all;
    for (;;) {
        walking &= ~occluded;
        if (walking != 0 && (walking & (walking - 1)) == 0) {
            // One ray left here: its own walk tests a node's boxes at once.
            const auto k = static_cast<uint32_t>(__builtin_ctz(walking));
            BvhHit unused;
            float end = tfar[k];
            // With the difference taken first, as the shared test takes it:
            // one copy of the lone walk here, which measured faster than two.
            if (walkBvhFrom<F, true, false>(bvh, child, boxRayOf<F>(rays[k], slack[k]), slack[k],
                                            rays[k], sheared[k], end, unused, false))
                occluded |= walking;
        } else if (walking != 0 && !isLeafChild(child)) {
            const BvhNode& node = bvh.nodes[child];
            // Each box's planes less the shared origin, as the lone walk
            // forms them: lower and upper by axis.
            alignas(64) float planes[6][bvhWidth];
            const float* rows[6] = {node.lowerX, node.upperX, node.lowerY,
                                    node.upperY, node.lowerZ, node.upperZ};
            for (int row = 0; row < 6; ++row)
                for (uint32_t first = 0; first < bvhWidth; first += F::width)
                    (F::load(rows[row] + first) - origin[row / 2]).store(planes[row] + first);
            // Slots past the last child hold none.
            int children = 0;
            for (uint32_t k = 0; k < bvhWidth; ++k)
                children += node.child[k] != noChild ? 1 : 0;
            // The first child is pushed last, so walked first, as alone.
            for (int k = children - 1; k >= 0; --k) {
                W enters[3];
                W leaves[3];
                for (int axis = 0; axis < 3; ++axis) {
                    const W lower(planes[2 * axis][k]);
                    const W upper(planes[2 * axis + 1][k]);
                    enters[axis] = select(back[axis], upper, lower) * inv[axis];
                    leaves[axis] = mulAdd(select(back[axis], lower, upper), inv[axis], pastBy);
                }
                const W enter = max(max(enters[0], enters[1]), max(enters[2], near));
                const W exit = min(min(leaves[0], leaves[1]), min(leaves[2], leave));
                const uint32_t met = bits(enter <= exit) & walking;
                // Without a branch: whether a child is met is a guess.
                pending[top] = {node.child[k], met};
                top += met != 0 ? 1 : 0;
            }
        } else if (walking != 0) {
            // A leaf, for several rays.
            const uint32_t leaf = child;
            for (uint32_t rest = walking; rest != 0; rest &= rest - 1) {
                const auto k = static_cast<uint32_t>(__builtin_ctz(rest));
                if (anyInLeaf<F>(bvh, leaf, rays[k], sheared[k], tfar[k]))
                    occluded |= 1u << k;
            }
        }
        if (top == 0 || occluded == all)
            return occluded;
        --top;
        child = pending[top].child;
        walking = pending[top].rays;
    }
}

} // namespace vantrel
