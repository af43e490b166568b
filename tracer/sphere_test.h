// The ray/sphere test shared by the list test and the packed leaf kernels, so
// that every form computes the same floats in the same order.
#pragma once

#include <cmath>

#include "scene/records.h"
#include "scene/vector_ops.h"

namespace vantrel {

// Keeps rays off the surface they start on.
constexpr float minHitDistance = 0.001f;

// The distance at which the ray (unit direction d) meets the sphere, and
// whether it starts inside. False on a miss, a sphere behind the origin, or a
// hit no further than minHitDistance.
inline bool sphereCandidate(const Vector3& o, const Vector3& d, const Vector3& centre, float radius,
                            float& candidate, bool& inside) {
    const Vector3 oc = o - centre;
    const float b = -dot(oc, d);
    const float D = b * b - dot(oc, oc) + radius * radius;
    if (D <= 0.0f)
        return false;
    const float s = std::sqrt(D);
    const float tn = b - s;
    const float tf = b + s;
    if (tf <= 0.0f)
        return false;
    // A near root just ahead of the origin means the ray starts on the
    // surface; it is refused rather than retried with the far root.
    inside = tn < 0.0f;
    candidate = inside ? tf : tn;
    return candidate > minHitDistance;
}

// The unit normal at the candidate's point, facing the ray's origin either way.
inline Vector3 sphereNormal(const Vector3& o, const Vector3& d, const Vector3& centre,
                            float candidate, bool inside) {
    const Vector3 p = o + d * candidate;
    const Vector3 n = inside ? centre - p : p - centre;
    const float scale = 1.0f / std::sqrt(dot(n, n));
    return n * scale;
}

} // namespace vantrel
