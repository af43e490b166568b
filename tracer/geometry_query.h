// Queries along rays of a scene of several geometries (geometry_scene.h):
// the nearest hit, whether any, and every hit along a segment. A scene is
// queried once built, from any number of threads, each with its own
// context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/geometry_scene.h"
#include "vantrel/tracer/query.h"

namespace vantrel {

class WorkerPool;

struct GeometryHit {
    float t; // infinity where nothing is hit
    // A triangle's weights of V1 and V2 at the hit; 0 for a sphere.
    float u;
    float v;
    // Unit, in the scene's space: a triangle's (V1 - V0) x (V2 - V0) of its
    // corners there, a sphere's outward normal.
    Vector3 normal;
    uint32_t geometry;  // noGeometry where nothing is hit
    uint32_t primitive; // the triangle or sphere, of the instanced geometry for an instance
};

// The nearest hit of the segment: of hits at one distance, the one of the
// geometry added first, then of its primitive first.
bool intersectNearest(TraceContext& context, const GeometryScene& scene, const QueryRay& ray,
                      GeometryHit& hit);
bool intersectAny(TraceContext& context, const GeometryScene& scene, const QueryRay& ray);

// How often the segment meets the surfaces: once for each triangle it
// crosses, and where it enters and where it leaves each sphere. A segment
// through an edge or a corner that triangles share may count at each of
// them.
uint32_t countIntersections(TraceContext& context, const GeometryScene& scene, const QueryRay& ray);

struct SegmentHit {
    float t;
    uint32_t geometry;
    uint32_t primitive;
};

// The same hits, nearest first (then by geometry and primitive), in hits.
void listIntersections(TraceContext& context, const GeometryScene& scene, const QueryRay& ray,
                       std::vector<SegmentHit>& hits);

// The same for count rays on every thread of pool.
void intersectNearest(WorkerPool& pool, const GeometryScene& scene, const QueryRay* rays,
                      GeometryHit* hits, size_t count);
void intersectAny(WorkerPool& pool, const GeometryScene& scene, const QueryRay* rays,
                  bool* occluded, size_t count);
void countIntersections(WorkerPool& pool, const GeometryScene& scene, const QueryRay* rays,
                        uint32_t* counts, size_t count);

} // namespace vantrel
