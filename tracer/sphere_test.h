// The ray/sphere test, written once over the lane types: the list test runs
// it on one lane, the packed leaf kernels on eight or sixteen, so that every
// form computes the same floats in the same order.
#pragma once

#include <cmath>

#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/lanes_scalar.h"

namespace vantrel {

// Keeps rays off the surface they start on.
constexpr float minHitDistance = 0.001f;

// What the test makes of a ray and a sphere, lane by lane.
template <class F> struct SphereRoots {
    F candidate;               // the distance a hit is recorded at
    typename F::Mask inside;   // the ray starts inside: the candidate is the far root
    typename F::Mask accepted; // a hit at all
};

// The test for oc = origin - centre and a unit direction d. C is F, or float
// where the origin and the sphere are the same in every lane (a packet
// against one sphere); the floats are the same either way.
template <class F, class C>
SphereRoots<F> sphereRoots(C ocx, C ocy, C ocz, F dx, F dy, F dz, C radius) {
    const F b = -(ocx * dx + ocy * dy + ocz * dz);
    const F D = b * b - (ocx * ocx + ocy * ocy + ocz * ocz) + radius * radius;
    const F s = sqrt(D);
    const F tn = b - s;
    const F tf = b + s;
    // A near root just ahead of the origin means the ray starts on the
    // surface; it is refused rather than retried with the far root.
    const typename F::Mask inside = tn < F(0.0f);
    const F candidate = select(inside, tf, tn);
    // A miss (D <= 0) or a sphere behind the origin (tf <= 0) is refused; a
    // NaN lane, such as padding, gets past those two and fails the last.
    const typename F::Mask accepted =
        andNot((D <= F(0.0f)) | (tf <= F(0.0f)), candidate > F(minHitDistance));
    return {candidate, inside, accepted};
}

// The distance at which the ray (unit direction d) meets the sphere, and
// whether it starts inside. False on a miss, a sphere behind the origin, or a
// hit no further than minHitDistance.
inline bool sphereCandidate(const Vector3& o, const Vector3& d, const Vector3& centre, float radius,
                            float& candidate, bool& inside) {
    using F = scalar::Floats;
    const Vector3 oc = o - centre;
    const SphereRoots<F> roots = sphereRoots<F, float>(oc.x, oc.y, oc.z, d.x, d.y, d.z, radius);
    candidate = roots.candidate.v;
    inside = roots.inside.v;
    return roots.accepted.v;
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
