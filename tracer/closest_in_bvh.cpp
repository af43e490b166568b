#include "vantrel/tracer/closest_in_bvh.h"

#include <algorithm>
#include <cmath>

namespace vantrel {

namespace {

Double3 operator-(const Double3& a, const Double3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Double3 operator+(const Double3& a, const Double3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Double3 operator*(const Double3& a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
double dot(const Double3& a, const Double3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Double3 cross(const Double3& a, const Double3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// The point of segment a, b closest to p, at weight w of b.
Double3 closestOnSegment(const Double3& p, const Double3& a, const Double3& b, double& w) {
    const Double3 ab = b - a;
    const double length = dot(ab, ab);
    w = length > 0.0 ? std::clamp(dot(p - a, ab) / length, 0.0, 1.0) : 0.0;
    return a + ab * w;
}

bool better(double distanceSquared, uint32_t geometry, uint32_t primitive,
            const NearestPoint& best) {
    if (distanceSquared != best.distanceSquared)
        return distanceSquared < best.distanceSquared;
    return geometry != best.geometry ? geometry < best.geometry : primitive < best.primitive;
}

Double3 placed(const PointPlacement& at, const Double3& p) {
    return at.transform ? mapPoint(at.transform, p) : p;
}

} // namespace

Double3 closestOnTriangle(const Double3& p, const Double3& a, const Double3& b, const Double3& c,
                          double& u, double& v) {
    const Double3 ab = b - a;
    const Double3 ac = c - a;
    const Double3 n = cross(ab, ac);
    if (!(dot(n, n) > 0.0)) {
        // No area: the nearest of its three sides.
        double w[3];
        const Double3 on[3] = {closestOnSegment(p, a, b, w[0]), closestOnSegment(p, a, c, w[1]),
                               closestOnSegment(p, b, c, w[2])};
        int side = 0;
        double least = dot(p - on[0], p - on[0]);
        for (int k = 1; k < 3; ++k) {
            const double d = dot(p - on[k], p - on[k]);
            if (d < least) {
                least = d;
                side = k;
            }
        }
        const double weights[3][2] = {{w[0], 0.0}, {0.0, w[1]}, {1.0 - w[2], w[2]}};
        u = weights[side][0];
        v = weights[side][1];
        return on[side];
    }
    // By the region of the triangle's plane the point falls in: a corner,
    // a side, or the face (Ericson, Real-Time Collision Detection, 5.1.5).
    // With an area, no denominator below is zero.
    const Double3 ap = p - a;
    const double d1 = dot(ab, ap);
    const double d2 = dot(ac, ap);
    if (d1 <= 0.0 && d2 <= 0.0) {
        u = v = 0.0;
        return a;
    }
    const Double3 bp = p - b;
    const double d3 = dot(ab, bp);
    const double d4 = dot(ac, bp);
    if (d3 >= 0.0 && d4 <= d3) {
        u = 1.0;
        v = 0.0;
        return b;
    }
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0.0 && d1 >= 0.0 && d3 <= 0.0) {
        u = d1 / (d1 - d3);
        v = 0.0;
        return a + ab * u;
    }
    const Double3 cp = p - c;
    const double d5 = dot(ab, cp);
    const double d6 = dot(ac, cp);
    if (d6 >= 0.0 && d5 <= d6) {
        u = 0.0;
        v = 1.0;
        return c;
    }
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0.0 && d2 >= 0.0 && d6 <= 0.0) {
        u = 0.0;
        v = d2 / (d2 - d6);
        return a + ac * v;
    }
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0.0 && d4 - d3 >= 0.0 && d5 - d6 >= 0.0) {
        v = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        u = 1.0 - v;
        return b + (c - b) * v;
    }
    const double scale = 1.0 / (va + vb + vc);
    u = vb * scale;
    v = vc * scale;
    return a + ab * u + ac * v;
}

void takeClosestTriangle(const float* rows, uint32_t count, uint32_t lane,
                         const PointPlacement& placement, uint32_t geometry, NearestPoint& best) {
    const auto corner = [&](int k) {
        const float* c = rows + 3 * k * count + lane;
        return placed(placement, {c[0], c[count], c[2 * count]});
    };
    const Double3 a = corner(0);
    const Double3 b = corner(1);
    const Double3 c = corner(2);
    double u;
    double v;
    const Double3 point = closestOnTriangle(placement.point, a, b, c, u, v);
    const Double3 apart = placement.point - point;
    const double distanceSquared = dot(apart, apart);
    const uint32_t index = leafShapeIndex(rows, triangleRows, count, lane);
    if (!better(distanceSquared, geometry, index, best))
        return;
    const Double3 normal = cross(b - a, c - a);
    best = {distanceSquared, point, placement.mirrors ? normal * -1.0 : normal, u, v,
            geometry,        index};
}

void takeClosestSpheres(const float* rows, uint32_t count, const PointPlacement& placement,
                        uint32_t geometry, NearestPoint& best) {
    // An instance keeps a sphere's shape, and scales it alike on every axis.
    const double scale =
        placement.transform ? std::cbrt(std::fabs(determinant(placement.transform))) : 1.0;
    for (uint32_t lane = 0; lane < count; ++lane) {
        const Double3 centre =
            placed(placement, {rows[lane], rows[count + lane], rows[2 * count + lane]});
        const double radius = std::fabs(double{rows[3 * count + lane]}) * scale;
        const Double3 out = placement.point - centre;
        const double length = std::sqrt(dot(out, out));
        // From the centre every way is as near: the one up x.
        const Double3 normal = length > 0.0 ? out * (1.0 / length) : Double3{1.0, 0.0, 0.0};
        const double distance = std::fabs(length - radius);
        const uint32_t index = leafShapeIndex(rows, sphereRows, count, lane);
        if (!better(distance * distance, geometry, index, best))
            continue;
        best = {distance * distance, centre + normal * radius, normal, 0.0, 0.0, geometry, index};
    }
}

} // namespace vantrel
