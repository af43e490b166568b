#include "vantrel/tracer/watertight_triangle.h"

#include <array>

namespace vantrel {

bool hitsTriangle(const ShearedRay& ray, const Vector3& V0, const Vector3& V1, const Vector3& V2,
                  float tnear, float tfar, float& t, float& u, float& v) {
    using F = scalar::Floats;
    const auto onAxes = [&](const Vector3& c) {
        return std::array<F, 3>{component(c, ray.kx), component(c, ray.ky), component(c, ray.kz)};
    };
    const std::array<F, 3> v0 = onAxes(V0);
    const std::array<F, 3> v1 = onAxes(V1);
    const std::array<F, 3> v2 = onAxes(V2);
    WatertightHits<F> hits = watertightHits<F>(v0.data(), v1.data(), v2.data(), ray, tnear, tfar);
    if (hits.onEdge.v) {
        const auto sheared = [&](const std::array<F, 3>& c, double& x, double& y, double& z) {
            z = double(c[2].v - ray.oz);
            x = double((c[0].v - ray.ox) - ray.shearX * float(z));
            y = double((c[1].v - ray.oy) - ray.shearY * float(z));
        };
        double ax, ay, az, bx, by, bz, cx, cy, cz;
        sheared(v0, ax, ay, az);
        sheared(v1, bx, by, bz);
        sheared(v2, cx, cy, cz);
        const float U = static_cast<float>(cx * by - cy * bx);
        const float V = static_cast<float>(ax * cy - ay * cx);
        const float W = static_cast<float>(bx * ay - by * ax);
        if ((U < 0.0f || V < 0.0f || W < 0.0f) && (U > 0.0f || V > 0.0f || W > 0.0f))
            return false;
        const float det = U + V + W;
        if (det == 0.0f)
            return false; // edge-on
        const float inverse = 1.0f / det;
        hits.t = (ray.shearZ * (U * float(az) + V * float(bz) + W * float(cz))) * inverse;
        hits.u = V * inverse;
        hits.v = W * inverse;
        hits.accepted = {hits.t.v >= tnear && hits.t.v <= tfar};
    }
    t = hits.t.v;
    u = hits.u.v;
    v = hits.v.v;
    return hits.accepted.v;
}

} // namespace vantrel
