// Queries about points of a scene of several geometries (geometry_scene.h):
// the closest point of the surfaces, whether a point is inside them, and
// its signed distance. A scene is queried once built, from any number of
// threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/geometry_scene.h"

namespace vantrel {

struct TraceContext;
class WorkerPool;

struct ClosestPoint {
    Vector3 point;
    float distance;    // infinity where no surface lies within the radius
    uint32_t geometry; // noGeometry where none does
    uint32_t primitive;
    float u; // a triangle's weights of V1 and V2 at the point; 0 for a sphere
    float v;
    Vector3 normal; // as a hit's (GeometryHit)
};

// The point of the surfaces closest to point, no farther than radius
// (infinity for any distance), worked out in double precision: of points
// at one distance, the one of the geometry added first, then of its
// primitive first.
bool closestPoint(const GeometryScene& scene, const Vector3& point, float radius,
                  ClosestPoint& closest);
// The same for a point given in double precision, x, y, z: distances far
// smaller than its coordinates come out exact to the float they are given
// in, as a float point's rounding would not let them.
bool closestPoint(const GeometryScene& scene, const double* point, float radius,
                  ClosestPoint& closest);

// Whether point is inside the surfaces: at least two of three rays from it,
// in fixed directions, cross them an odd number of times. Inside a closed
// mesh, or a sphere; inside two that overlap counts as outside, as the
// crossings pair up. An open mesh encloses nothing, and a point whose rays
// leave through its holes counts as outside.
bool isInside(TraceContext& context, const GeometryScene& scene, const Vector3& point);

// The distance to the closest point, negative inside.
float signedDistance(TraceContext& context, const GeometryScene& scene, const Vector3& point);

// The same for count points on every thread of pool.
void closestPoints(WorkerPool& pool, const GeometryScene& scene, const Vector3* points,
                   float radius, ClosestPoint* closest, size_t count);
void isInside(WorkerPool& pool, const GeometryScene& scene, const Vector3* points, bool* inside,
              size_t count);
void signedDistances(WorkerPool& pool, const GeometryScene& scene, const Vector3* points,
                     float* distances, size_t count);

} // namespace vantrel
