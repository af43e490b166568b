// Between the queries and the frames of query scenes: a hit the hierarchy's
// walk found, as the queries give it.
#pragma once

#include "vantrel/bvh/bvh.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query.h"

namespace vantrel {

// Whether ray is a segment the walks can trace, whose end as they take it
// is left in tfar (the ray's own on entry).
bool traceable(const QueryRay& ray, float& tfar);

// The sphere test weighs the direction's squared length against the radius
// squared: a long direction toward a large sphere passes the largest float
// there, and the test took it for a hit at 0. A ray whose direction is
// longer than this is traced with the direction scaled by a power of two to
// below 1, which scales every distance of the walks exactly, and its hits'
// distances scaled back.
constexpr float longestDirectionTraced = 0x1p16f;

// The power of two a direction is traced scaled by: 1 where it is not long.
float directionScale(const Vector3& direction);

// The ray to trace: ray itself, or where its direction is long, a copy in
// shorter with the direction and the segment scaled; scale gets the factor,
// by which the distances found are multiplied back. Not a copy every time:
// a copy just written is read back slowly where a load spans two of its
// stores, as a direction's do.
const QueryRay& shortenDirection(const QueryRay& ray, QueryRay& shorter, float& scale);

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
