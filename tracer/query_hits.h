// Between the queries and the frames of query scenes: a hit the hierarchy's
// walk found, as the queries give it.
#pragma once

#include <algorithm>
#include <cmath>

#include "vantrel/bvh/bvh.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query.h"

namespace vantrel {

// Whether ray is a segment the walks can trace, whose end as they take it
// is left in tfar (the ray's own on entry).
inline bool traceable(const QueryRay& ray, float& tfar) {
    const Vector3& d = ray.direction;
    // A ray that is nowhere or goes nowhere meets nothing.
    if ((d.x == 0.0f && d.y == 0.0f && d.z == 0.0f) || !isFinite(d) || !isFinite(ray.origin) ||
        !(ray.tnear <= tfar))
        return false;
    // A distance that overflowed names no place on the ray; and the leaf
    // kernels, nearest or any, take only distances below the largest float.
    tfar = std::min(tfar, std::nextafter(noHitDistance, 0.0f));
    return true;
}

// The sphere test weighs the direction's squared length against the radius
// squared: a long direction toward a large sphere passes the largest float
// there, and the test took it for a hit at 0. A ray whose direction is
// longer than this is traced with the direction scaled by a power of two to
// below 1, which scales every distance of the walks exactly, and its hits'
// distances scaled back.
constexpr float longestDirectionTraced = 0x1p16f;

// The power of two a direction is traced scaled by: 1 where it is not long.
inline float directionScale(const Vector3& d) {
    const float most = std::max({std::fabs(d.x), std::fabs(d.y), std::fabs(d.z)});
    if (!(most > longestDirectionTraced) || !std::isfinite(most))
        return 1.0f;
    int exponent;
    std::frexp(most, &exponent);
    return std::ldexp(1.0f, -exponent);
}

// The ray to trace: ray itself, or where its direction is long, a copy in
// shorter with the direction and the segment scaled; scale gets the factor,
// by which the distances found are multiplied back. Not a copy every time:
// a copy just written is read back slowly where a load spans two of its
// stores, as a direction's do.
inline const QueryRay& shortenDirection(const QueryRay& ray, QueryRay& shorter, float& scale) {
    scale = directionScale(ray.direction);
    if (scale == 1.0f)
        return ray;
    shorter = {ray.origin, ray.direction * scale, ray.tnear / scale, ray.tfar / scale};
    return shorter;
}

// The record (Sphere or Triangle) of the list's entry index, a shape the
// scene's hierarchy holds; null for a scene from arrays. Where the list
// keeps its records one after another it is worked out from index, sparing
// a hit a wait on the entry, which lies far from the record in memory.
inline void* recordOf(const QueryScene& scene, uint32_t index) {
    if (scene.bvh->recordStride != 0)
        return reinterpret_cast<void*>(recordAddress(*scene.bvh, index));
    return scene.list.items ? scene.list.items[index].object : nullptr;
}

// The hit a walk of scene's hierarchy found along ray, as intersectNearest
// gives it (the scene's entries outside the hierarchy aside) but for its
// weights (u, v), which are left 0.
void hitOfHierarchy(const QueryScene& scene, const QueryRay& ray, const BvhHit& found,
                    QueryHit& hit);

} // namespace vantrel
