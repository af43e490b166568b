#include "vantrel/tracer/watertight_triangle.h"

#include <algorithm>
#include <array>

namespace vantrel {

bool hitsTriangle(const ShearedRay& ray, const Vector3& V0, const Vector3& V1, const Vector3& V2,
                  float tnear, float tfar, float& t) {
    using F = scalar::Floats;
    const auto onAxes = [&](const Vector3& c) {
        return std::array<F, 3>{component(c, ray.kx), component(c, ray.ky), component(c, ray.kz)};
    };
    const std::array<F, 3> v0 = onAxes(V0);
    const std::array<F, 3> v1 = onAxes(V1);
    const std::array<F, 3> v2 = onAxes(V2);
    const ShearedLanes<F> lanes = shearedLanes<F>(ray);
    WatertightHits<F> hits =
        watertightHits<F>(v0.data(), v1.data(), v2.data(), lanes, tnear, tfar, F::Mask::ofBits(1));
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
        const F zs[3] = {float(az), float(bz), float(cz)};
        const F xy[6] = {float(ax), float(ay), float(bx), float(by), float(cx), float(cy)};
        // Edge-on, det zero included.
        if (edgeOnToRounding<F>(v0.data(), v1.data(), v2.data(), zs, xy, det, lanes).v)
            return false;
        const float inverse = 1.0f / det;
        hits.t = (ray.shearZ * (U * float(az) + V * float(bz) + W * float(cz))) * inverse;
        hits.accepted = {hits.t.v >= tnear && hits.t.v <= tfar};
    }
    t = hits.t.v;
    return hits.accepted.v;
}

bool hitWeights(const Vector3& origin, const Vector3& direction, const Triangle& triangle, float& u,
                float& v) {
    // Differences of floats are exact in double wherever the exponents lie
    // within 29 of each other; the products and sums round at 1e-16.
    const auto minus = [](const Vector3& a, const Vector3& b) {
        return std::array<double, 3>{double(a.x) - double(b.x), double(a.y) - double(b.y),
                                     double(a.z) - double(b.z)};
    };
    const auto cross = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return std::array<double, 3>{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                                     a[0] * b[1] - a[1] * b[0]};
    };
    const auto dot = [](const std::array<double, 3>& a, const std::array<double, 3>& b) {
        return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
    };
    const std::array<double, 3> d{direction.x, direction.y, direction.z};
    const std::array<double, 3> e1 = minus(triangle.V1, triangle.V0);
    const std::array<double, 3> e2 = minus(triangle.V2, triangle.V0);
    const std::array<double, 3> s = minus(origin, triangle.V0);
    const std::array<double, 3> p = cross(d, e2);
    const double det = dot(e1, p);
    if (det == 0.0)
        return false;
    double a = dot(s, p) / det;
    double b = dot(d, cross(s, e1)) / det;
    // The test took the hit inside; a weight a rounding step outside is
    // brought back onto the edge.
    a = std::max(a, 0.0);
    b = std::max(b, 0.0);
    if (a + b > 1.0) {
        const double sum = a + b;
        a /= sum;
        b /= sum;
    }
    u = static_cast<float>(a);
    v = static_cast<float>(b);
    return true;
}

} // namespace vantrel
