#include "vantrel/tracer/point_query.h"

#include <cmath>
#include <limits>

#include "vantrel/tracer/closest_in_bvh.h"
#include "vantrel/tracer/geometry_query.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

// The squared distance from p to a geometry's box.
double boxDistanceSquared(const double* box, const Double3& p) {
    if (box[0] > box[3])
        return std::numeric_limits<double>::infinity();
    const double at[3] = {p.x, p.y, p.z};
    double sum = 0.0;
    for (int k = 0; k < 3; ++k) {
        const double gap = std::max({box[k] - at[k], at[k] - box[3 + k], 0.0});
        sum += gap * gap;
    }
    return sum;
}

Vector3 toFloats(const Double3& p) {
    return {static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z)};
}

// Three directions with no two components alike and none along a plane
// of the axes, so that models built on a grid meet them at no edge on end.
constexpr Vector3 insideRays[3] = {{0.5773827f, 0.6215322f, 0.5295619f},
                                   {-0.6841243f, 0.2257314f, 0.6935702f},
                                   {0.1862947f, -0.8125093f, 0.5524713f}};

constexpr size_t pointsPerRun = 256;

} // namespace

bool closestPoint(const GeometryScene& scene, const Vector3& point, float radius,
                  ClosestPoint& closest) {
    const double at[3] = {point.x, point.y, point.z};
    return closestPoint(scene, at, radius, closest);
}

bool closestPoint(const GeometryScene& scene, const double* point, float radius,
                  ClosestPoint& closest) {
    const float infinity = std::numeric_limits<float>::infinity();
    closest = {{0.0f, 0.0f, 0.0f}, infinity, noGeometry, 0xffffffffu, 0.0f, 0.0f,
               {0.0f, 0.0f, 0.0f}};
    const Double3 p{point[0], point[1], point[2]};
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z) || !(radius >= 0.0f))
        return false;
    NearestPoint best{double{radius} * radius, {}, {}, 0.0, 0.0, noGeometry, 0xffffffffu};
    for (uint32_t id = 0; id < scene.geometries.size(); ++id) {
        if (boxDistanceSquared(&scene.boxes[6 * size_t{id}], p) > best.distanceSquared)
            continue;
        const Geometry& geometry = scene.geometries[id];
        PointPlacement placement{p, p};
        const Geometry* shapes = &geometry;
        if (geometry.kind == GeometryKind::Instance) {
            shapes = &scene.geometries[geometry.of];
            placement.local = mapPoint(geometry.inverse, p);
            placement.transform = geometry.transform;
            placement.leastStretch = geometry.leastStretch;
            placement.mirrors = determinant(geometry.transform) < 0.0;
        }
        if (shapes->query.bvh)
            kernelInUse.closestInBvh(*shapes->query.bvh, placement, id, best);
    }
    if (best.geometry == noGeometry)
        return false;
    const Double3& n = best.normal;
    const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    closest.point = toFloats(best.point);
    closest.distance = static_cast<float>(std::sqrt(best.distanceSquared));
    closest.geometry = best.geometry;
    closest.primitive = best.primitive;
    closest.u = static_cast<float>(best.u);
    closest.v = static_cast<float>(best.v);
    if (length > 0.0)
        closest.normal = toFloats({n.x / length, n.y / length, n.z / length});
    return true;
}

bool isInside(TraceContext& context, const GeometryScene& scene, const Vector3& point) {
    int odd = 0;
    for (const Vector3& direction : insideRays) {
        const QueryRay ray{point, direction, 0.0f, std::numeric_limits<float>::infinity()};
        odd += static_cast<int>(countIntersections(context, scene, ray) & 1u);
        // Two of three decide.
        if (odd == 2)
            return true;
        if (odd == 0 && &direction == &insideRays[1])
            return false;
    }
    return odd >= 2;
}

float signedDistance(TraceContext& context, const GeometryScene& scene, const Vector3& point) {
    ClosestPoint closest;
    closestPoint(scene, point, std::numeric_limits<float>::infinity(), closest);
    return isInside(context, scene, point) ? -closest.distance : closest.distance;
}

void closestPoints(WorkerPool& pool, const GeometryScene& scene, const Vector3* points,
                   float radius, ClosestPoint* closest, size_t count) {
    pool.runEach(count, pointsPerRun, [&](size_t i, TraceContext&) {
        closestPoint(scene, points[i], radius, closest[i]);
    });
}

void isInside(WorkerPool& pool, const GeometryScene& scene, const Vector3* points, bool* inside,
              size_t count) {
    pool.runEach(count, pointsPerRun, [&](size_t i, TraceContext& context) {
        inside[i] = isInside(context, scene, points[i]);
    });
}

void signedDistances(WorkerPool& pool, const GeometryScene& scene, const Vector3* points,
                     float* distances, size_t count) {
    pool.runEach(count, pointsPerRun, [&](size_t i, TraceContext& context) {
        distances[i] = signedDistance(context, scene, points[i]);
    });
}

} // namespace vantrel
