// The closest point of a hierarchy's shapes to a point: a walk that takes
// the nearest boxes first and passes by those farther than what it has.
// Boxes, and each triangle's own box, are measured in floats over the lanes
// as a bound that rounding cannot raise past the truth; the shapes the
// bound leaves in are measured in double precision, since the answers are
// distances, which float arithmetic would round past a caller's tolerance
// near the surfaces of large models.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "vantrel/bvh/bvh.h"
#include "vantrel/tracer/affine.h"
#include "vantrel/tracer/query_leaf_kernel.h"

namespace vantrel {

struct NearestPoint {
    double distanceSquared;
    Double3 point;
    Double3 normal; // not of unit length
    double u;
    double v;
    uint32_t geometry;
    uint32_t primitive;
};

// Where a hierarchy's shapes are, from where the walk sees them: at
// transform (null for where they are), which stretches no length by less
// than leastStretch; point in the hierarchy's own space and, transformed,
// in the scene's.
struct PointPlacement {
    Double3 local;
    Double3 point;
    const double* transform = nullptr;
    double leastStretch = 1.0;
    // Where the transform turns space inside out, so that a triangle's
    // corners in its order turn the other way.
    bool mirrors = false;
};

// The point of the triangle a, b, c closest to p, with its weights u of b
// and v of c; any triangle, a line or a point among them.
Double3 closestOnTriangle(const Double3& p, const Double3& a, const Double3& b, const Double3& c,
                          double& u, double& v);

// Takes a leaf's shape (lane of a leaf of count at rows) into best where
// it is nearer, or as near and of a geometry or primitive before best's.
void takeClosestTriangle(const float* rows, uint32_t count, uint32_t lane,
                         const PointPlacement& placement, uint32_t geometry, NearestPoint& best);
void takeClosestSpheres(const float* rows, uint32_t count, const PointPlacement& placement,
                        uint32_t geometry, NearestPoint& best);

// The bound the walk measures by, in the hierarchy's space: a box whose
// squared distance from the point, in floats, is above it can hold nothing
// as near as the best. Its slack covers the rounding of the point to
// floats and of the distances' arithmetic.
struct PointBound {
    float point[3];
    float slack;
    float farthest; // squared
};

inline float farthestSquared(const NearestPoint& best, const PointPlacement& placement) {
    const double bound =
        best.distanceSquared / (placement.leastStretch * placement.leastStretch) * (1.0 + 0x1p-14);
    return bound < 3.0e38 ? static_cast<float>(bound) : __builtin_inff();
}

// The squared distances, less the slack, from the point to boxes given by
// their lower and upper bounds by axis.
template <class F>
[[gnu::always_inline]] inline F gapsSquared(const PointBound& at, const F lower[3],
                                            const F upper[3]) {
    F sum(0.0f);
    for (int k = 0; k < 3; ++k) {
        const F p(at.point[k]);
        const F gap = max(max(lower[k] - p, p - upper[k]) - F(at.slack), F(0.0f));
        sum = mulAdd(gap, gap, sum);
    }
    return sum;
}

template <class F>
void closestInBvhLanes(const QueryBvh& bvh, const PointPlacement& placement, uint32_t geometry,
                       NearestPoint& best) {
    static_assert(bvhWidth % F::width == 0, "steps tile a node");
    if (bvh.root == noChild)
        return;
    PointBound at;
    const double local[3] = {placement.local.x, placement.local.y, placement.local.z};
    double reach = 0.0;
    for (int k = 0; k < 3; ++k) {
        at.point[k] = static_cast<float>(local[k]);
        reach = std::max({reach, std::fabs(local[k]), std::fabs(double{bvh.boundsMin[k]}),
                          std::fabs(double{bvh.boundsMax[k]})});
    }
    at.slack = static_cast<float>(reach * 0x1p-20);
    at.farthest = farthestSquared(best, placement);
    struct Pending {
        uint32_t child;
        float distanceSquared;
    };
    Pending pending[bvhStackSize];
    uint32_t top = 0;
    pending[top++] = {bvh.root, 0.0f};
    alignas(64) float gaps[bvhWidth];
    while (top != 0) {
        const Pending next = pending[--top];
        if (!(next.distanceSquared <= at.farthest))
            continue;
        const uint32_t child = next.child;
        if (isLeafChild(child)) {
            const float* rows = leafRows(bvh, child);
            const uint32_t count = leafCount(child);
            if (isSphereLeaf(child)) {
                takeClosestSpheres(rows, count, placement, geometry, best);
            } else {
                // Each triangle's own box first: most leave by it.
                for (uint32_t first = 0; first < count; first += F::width) {
                    F lower[3];
                    F upper[3];
                    for (int k = 0; k < 3; ++k) {
                        const auto row = [&](int corner) {
                            return F::loadUnaligned(rows + (3 * corner + k) * count + first);
                        };
                        lower[k] = min(min(row(0), row(1)), row(2));
                        upper[k] = max(max(row(0), row(1)), row(2));
                    }
                    uint32_t near = bits((gapsSquared<F>(at, lower, upper) <= F(at.farthest)) &
                                         lanesBelow<F>(count, first));
                    for (; near != 0; near &= near - 1) {
                        takeClosestTriangle(rows, count, first + __builtin_ctz(near), placement,
                                            geometry, best);
                        at.farthest = farthestSquared(best, placement);
                    }
                }
            }
            at.farthest = farthestSquared(best, placement);
            continue;
        }
        const BvhNode& node = bvh.nodes[child];
        uint32_t near = 0;
        uint32_t children = 0;
        while (children < bvhWidth && node.child[children] != noChild)
            ++children;
        for (uint32_t first = 0; first < bvhWidth; first += F::width) {
            const F lower[3] = {F::load(node.lowerX + first), F::load(node.lowerY + first),
                                F::load(node.lowerZ + first)};
            const F upper[3] = {F::load(node.upperX + first), F::load(node.upperY + first),
                                F::load(node.upperZ + first)};
            const F squared = gapsSquared<F>(at, lower, upper);
            squared.store(gaps + first);
            near |= bits(squared <= F(at.farthest)) << first;
        }
        near &= (1u << children) - 1;
        // Nearest on top, to be walked first.
        const uint32_t base = top;
        for (; near != 0; near &= near - 1) {
            const auto k = static_cast<uint32_t>(__builtin_ctz(near));
            uint32_t j = top++;
            for (; j > base && pending[j - 1].distanceSquared < gaps[k]; --j)
                pending[j] = pending[j - 1];
            pending[j] = {node.child[k], gaps[k]};
        }
    }
}

} // namespace vantrel
