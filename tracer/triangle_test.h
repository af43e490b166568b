// The ray/triangle test, written once over the lane types for the packed
// leaf kernels: one ray against a group of triangles, or the rays of a packet
// against one triangle. It takes the very steps of intersectTriangle, in its
// order, so every lane computes the floats the lone test computes.
#pragma once

#include "vantrel/tracer/sphere_test.h"

namespace vantrel {

template <class F> struct TriangleHits {
    F t;                       // the distance a hit is recorded at
    typename F::Mask accepted; // a hit at all
};

// The test once the corners are taken relative to the origin: w, a and b are
// V0 - o, V1 - o and V2 - o, n the normal (V1 - V0) x (V2 - V0) as the test
// forms it, wn is w . n, d the directions. C is F where the triangle differs
// by lane, or float where every lane has the same one.
template <class F, class C>
TriangleHits<F> triangleHitsFrom(const C w[3], const C a[3], const C b[3], const C n[3], C wn,
                                 const F d[3]) {
    using Mask = typename F::Mask;
    // The lone test's negations are left out where the floats stay the same:
    // with m = n . d = -den, 1 / m = -(1 / den) exactly, so -x * (1 / den) is
    // x * (1 / m), and x * (1 / den) is -(x * (1 / m)).
    const F m = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
    // Each of the lone test's exits narrows the lanes still in. Nearly
    // parallel goes first; a NaN den too, which the lone test carries on with
    // into a NaN t and a miss.
    Mask in = abs(m) >= F(minHitDistance);
    const F inv = F(1.0f) / m; // -1 / den
    const F q[3] = {d[1] * w[2] - d[2] * w[1], d[2] * w[0] - d[0] * w[2],
                    d[0] * w[1] - d[1] * w[0]};
    const F weight2 = (a[0] * q[0] + a[1] * q[1] + a[2] * q[2]) * inv;
    // A NaN weight passes all of them, as none of the lone test's exits
    // refuses it; then only t decides. No leave here where no lane is in, as
    // the lone test leaves: whether one ray misses a vector of triangles, or
    // a packet one triangle, is a guess, and a mispredicted leave costs more
    // than the rest of the test. Without it the 7-level icosphere renders
    // 1.10 times as fast, 1.15 with AVX2.
    in = notBelowWhere(in, weight2, F(0.0f));
    in = notAboveWhere(in, weight2, F(1.0f));
    // -weight1; weight1 + weight2 is weight2 + -weight1.
    const F minusWeight1 = (b[0] * q[0] + b[1] * q[1] + b[2] * q[2]) * inv;
    in = notAboveWhere(in, minusWeight1, F(0.0f));
    in = notAboveWhere(in, weight2 - minusWeight1, F(1.0f));
    const F t = wn * inv;
    return {t, atLeastWhere(in, t, F(minHitDistance))};
}

// The test with the corners as they are: C as above, o the shared origin.
template <class F, class C>
TriangleHits<F> triangleHits(const C v0[3], const C v1[3], const C v2[3], const C n[3],
                             const float o[3], const F d[3]) {
    const C w[3] = {v0[0] - o[0], v0[1] - o[1], v0[2] - o[2]};
    const C a[3] = {v1[0] - o[0], v1[1] - o[1], v1[2] - o[2]};
    const C b[3] = {v2[0] - o[0], v2[1] - o[1], v2[2] - o[2]};
    const C wn = w[0] * n[0] + w[1] * n[1] + w[2] * n[2];
    return triangleHitsFrom<F, C>(w, a, b, n, wn, d);
}

} // namespace vantrel
