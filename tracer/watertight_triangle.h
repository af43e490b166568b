// The queries' ray/triangle test: the ray is sheared so that it runs down
// its longest axis, and the triangle's corners are tested by the signs of
// their edge functions there (Woop, Benthin and Wald, 2013). No size bound:
// a triangle of any scale is hit. Watertight: a ray through an edge or a
// corner that triangles share hits at least one of them, since each edge
// function is computed from the same two corners whichever triangle asks.
#pragma once

#include <cmath>

#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

// What the test needs of a ray, worked out once per ray. Not for a zero
// direction (kz would pick a zero component).
struct ShearedRay {
    Vector3 origin;
    int kx;
    int ky;
    int kz; // the axis along which the direction is longest
    float shearX;
    float shearY;
    float shearZ;
};

inline ShearedRay shearRay(const Vector3& origin, const Vector3& direction) {
    const float d[3] = {direction.x, direction.y, direction.z};
    int kz = std::fabs(d[0]) > std::fabs(d[1]) ? 0 : 1;
    if (std::fabs(d[2]) > std::fabs(d[kz]))
        kz = 2;
    int kx = kz == 2 ? 0 : kz + 1;
    int ky = kx == 2 ? 0 : kx + 1;
    // Keeps the winding: the edge functions' signs mean the same either way.
    if (d[kz] < 0.0f) {
        const int swap = kx;
        kx = ky;
        ky = swap;
    }
    return {origin, kx, ky, kz, d[kx] / d[kz], d[ky] / d[kz], 1.0f / d[kz]};
}

// A hit of the triangle at t in [tnear, tfar]: t and the weights of V1 and
// V2. Two-sided.
inline bool hitsTriangle(const ShearedRay& ray, const Vector3& V0, const Vector3& V1,
                         const Vector3& V2, float tnear, float tfar, float& t, float& u, float& v) {
    const Vector3 a = V0 - ray.origin;
    const Vector3 b = V1 - ray.origin;
    const Vector3 c = V2 - ray.origin;
    const float az = component(a, ray.kz);
    const float bz = component(b, ray.kz);
    const float cz = component(c, ray.kz);
    const float ax = component(a, ray.kx) - ray.shearX * az;
    const float ay = component(a, ray.ky) - ray.shearY * az;
    const float bx = component(b, ray.kx) - ray.shearX * bz;
    const float by = component(b, ray.ky) - ray.shearY * bz;
    const float cx = component(c, ray.kx) - ray.shearX * cz;
    const float cy = component(c, ray.ky) - ray.shearY * cz;
    float U = cx * by - cy * bx;
    float V = ax * cy - ay * cx;
    float W = bx * ay - by * ax;
    // On an edge in float: its sign is taken again exactly enough to agree
    // with the triangle on the edge's other side.
    if (U == 0.0f || V == 0.0f || W == 0.0f) {
        U = static_cast<float>(double(cx) * double(by) - double(cy) * double(bx));
        V = static_cast<float>(double(ax) * double(cy) - double(ay) * double(cx));
        W = static_cast<float>(double(bx) * double(ay) - double(by) * double(ax));
    }
    if ((U < 0.0f || V < 0.0f || W < 0.0f) && (U > 0.0f || V > 0.0f || W > 0.0f))
        return false;
    const float det = U + V + W;
    if (det == 0.0f)
        return false; // edge-on
    const float T = ray.shearZ * (U * az + V * bz + W * cz);
    const float inverse = 1.0f / det;
    t = T * inverse;
    if (!(t >= tnear && t <= tfar))
        return false;
    u = V * inverse;
    v = W * inverse;
    return true;
}

} // namespace vantrel
