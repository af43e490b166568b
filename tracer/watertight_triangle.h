// The queries' ray/triangle test: the ray is sheared so that it runs down
// its longest axis, and the triangle's corners are tested by the signs of
// their edge functions there (Woop, Benthin and Wald, 2013). No size bound:
// a triangle of any scale is hit. Watertight: a ray through an edge or a
// corner that triangles share hits at least one of them, since each edge
// function is computed from the same two corners whichever triangle asks.
// Written once over the lane types: a lone test is one lane.
#pragma once

#include <algorithm>
#include <cmath>

#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/lanes_scalar.h"

namespace vantrel {

// What the test needs of a ray, worked out once per ray. Not for a zero
// direction (kz would pick a zero component).
struct ShearedRay {
    int kx;
    int ky;
    int kz; // the axis along which the direction is longest
    // The origin's coordinates on kx, ky and kz.
    float ox;
    float oy;
    float oz;
    float shearX;
    float shearY;
    float shearZ;
};

// The axis a ray is sheared along: its direction's longest.
inline int shearAxis(const float (&d)[3]) {
    // Worked out in integers rather than by branches, which rays of random
    // directions mispredict often.
    const float ax = std::fabs(d[0]);
    const float ay = std::fabs(d[1]);
    const int zLongest = std::fabs(d[2]) > std::max(ax, ay);
    const int yLonger = !(ax > ay);
    return (zLongest << 1) | (yLonger & (zLongest ^ 1));
}

inline ShearedRay shearRay(const Vector3& origin, const Vector3& direction) {
    const float o[3] = {origin.x, origin.y, origin.z};
    const float d[3] = {direction.x, direction.y, direction.z};
    const int kz = shearAxis(d);
    const int x = (kz + 1) % 3;
    const int y = (kz + 2) % 3;
    // Keeps the winding: the edge functions' signs mean the same either way.
    const int swap = -static_cast<int>(d[kz] < 0.0f);
    const int kx = x ^ ((x ^ y) & swap);
    const int ky = x ^ y ^ kx;
    // The three divisions in one of four lanes: the same floats, sooner.
    using Four = float __attribute__((vector_size(16)));
    const Four over = Four{d[kx], d[ky], 1.0f, 1.0f} / d[kz];
    return {kx, ky, kz, o[kx], o[ky], o[kz], over[0], over[1], over[2]};
}

// The weights of a hit are not taken from here: hitWeights works them out
// exactly for the one hit that wins.
template <class F> struct WatertightHits {
    F t;
    typename F::Mask accepted;
    // An edge function came out zero where the others leave the answer open:
    // its sign is to be taken again exactly before the lane's answer holds.
    typename F::Mask onEdge;
};

// A sheared ray on every lane: one ray spread over them (for a ray against
// several triangles), or one ray a lane (for rays against one triangle),
// each lane's values those of its own ShearedRay.
template <class F> struct ShearedLanes {
    F ox;
    F oy;
    F oz;
    F shearX;
    F shearY;
    F shearZ;
};

template <class F> ShearedLanes<F> shearedLanes(const ShearedRay& ray) {
    return {F(ray.ox), F(ray.oy), F(ray.oz), F(ray.shearX), F(ray.shearY), F(ray.shearZ)};
}

// Where det, the sum of the edge functions, is no larger than its rounding
// could make it. Each corner's sheared x and y carry the rounding of their
// reach (the difference from the origin and the shear product): at most
// 4 eps R, R the largest reach, against sheared values of at most S; so det
// lies within 42 eps R S of its value, and 64 eps R S is taken. There the
// ray runs along the triangle's plane as far as the floats can tell, or the
// triangle has no area, and t is noise: a point off the triangle, which the
// hierarchy's boxes may rightly pass by. No hit. In line: occlusion asks at
// every hit it ends on, and the call out of line took 2 % of its time.
template <class F>
[[gnu::always_inline]] inline typename F::Mask
edgeOnToRounding(const F v0[3], const F v1[3], const F v2[3], const F z[3], const F sheared[6],
                 F det, const ShearedLanes<F>& ray) {
    const auto magnitude = [](F x) { return max(x, -x); };
    const F shear = max(magnitude(ray.shearX), magnitude(ray.shearY));
    const auto reach = [&](const F v[3], F zv) {
        return max(magnitude(v[0] - ray.ox), magnitude(v[1] - ray.oy)) + shear * magnitude(zv);
    };
    const F most = max(max(reach(v0, z[0]), reach(v1, z[1])), reach(v2, z[2]));
    F largest = magnitude(sheared[0]);
    for (int k = 1; k < 6; ++k)
        largest = max(largest, magnitude(sheared[k]));
    return !(magnitude(det) > F(0x1p-18f) * most * largest);
}

// The corners on the ray's axes kx, ky, kz (v0[0] on kx, ...), lane by
// lane; hits at t in [tnear, tfar], two-sided, in the lanes of valid alone.
// skipMisses: a step whose lanes all pass outside their triangles returns
// before their distances and its division; occlusion measured faster
// without, as it branches on the answer at once anyway.
template <class F, bool skipMisses = true>
[[gnu::always_inline]] inline WatertightHits<F>
watertightHits(const F v0[3], const F v1[3], const F v2[3], const ShearedLanes<F>& ray, F tnear,
               F tfar, typename F::Mask valid) {
    using Mask = typename F::Mask;
    const F az = v0[2] - ray.oz;
    const F bz = v1[2] - ray.oz;
    const F cz = v2[2] - ray.oz;
    const F ax = (v0[0] - ray.ox) - ray.shearX * az;
    const F ay = (v0[1] - ray.oy) - ray.shearY * az;
    const F bx = (v1[0] - ray.ox) - ray.shearX * bz;
    const F by = (v1[1] - ray.oy) - ray.shearY * bz;
    const F cx = (v2[0] - ray.ox) - ray.shearX * cz;
    const F cy = (v2[1] - ray.oy) - ray.shearY * cz;
    const F U = cx * by - cy * bx;
    const F V = ax * cy - ay * cx;
    const F W = bx * ay - by * ax;
    const F zero(0.0f);
    const Mask outside =
        ((U < zero) | (V < zero) | (W < zero)) & ((U > zero) | (V > zero) | (W > zero));
    // A zero decides only where the other two agree: two of opposite signs
    // already put the ray outside (as in a triangle with two corners at one
    // point, common in exported models).
    const Mask onEdge = andNot(outside, (U == zero) | (V == zero) | (W == zero)) & valid;
    if (skipMisses && bits(andNot(outside, valid)) == 0)
        return {zero, Mask::ofBits(0), onEdge};
    const F det = U + V + W;
    const F inverse = F(1.0f) / det;
    const F t = (ray.shearZ * (U * az + V * bz + W * cz)) * inverse;
    const Mask inSegment = (t >= tnear) & (t <= tfar);
    Mask accepted = andNot(outside | (det == zero), inSegment) & valid;
    // Rare: most lanes leave by an edge.
    if (bits(accepted) != 0) {
        const F z[3] = {az, bz, cz};
        const F sheared[6] = {ax, ay, bx, by, cx, cy};
        accepted = andNot(edgeOnToRounding(v0, v1, v2, z, sheared, det, ray), accepted);
    }
    return {t, accepted, onEdge};
}

// The lone test, with an edge function that came out zero in float taken
// again in double, where the products of floats are exact and the sign of
// their difference is right: triangles on both sides of an edge then agree
// on which side a ray passes. Out of line, so that the files built for one
// instruction set call it rather than keep a copy of their own.
bool hitsTriangle(const ShearedRay& ray, const Vector3& V0, const Vector3& V1, const Vector3& V2,
                  float tnear, float tfar, float& t);

// The weights of V1 and V2 at the point where the ray's line meets the
// triangle's plane, worked out in double: the test's own, taken from sheared
// corners, lose digits in proportion to the origin's distance over the
// triangle's size. Kept inside the triangle; false where the ray runs in
// the plane, leaving u and v as they were.
bool hitWeights(const Vector3& origin, const Vector3& direction, const Triangle& triangle, float& u,
                float& v);

} // namespace vantrel
