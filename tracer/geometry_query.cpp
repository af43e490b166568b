#include "vantrel/tracer/geometry_query.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "vantrel/tracer/affine.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query_hits.h"
#include "vantrel/tracer/watertight_triangle.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// A ray as the geometries' box tests take it, worked out once for all of
// them: in double, with the direction's reciprocals.
struct RayForBoxes {
    double origin[3];
    double direction[3];
    double inverse[3];
    double originReach; // the origin's largest coordinate, in magnitude
};

RayForBoxes rayForBoxes(const QueryRay& ray) {
    RayForBoxes out{{ray.origin.x, ray.origin.y, ray.origin.z},
                    {ray.direction.x, ray.direction.y, ray.direction.z},
                    {},
                    0.0};
    for (int k = 0; k < 3; ++k) {
        out.inverse[k] = 1.0 / out.direction[k];
        out.originReach = std::max(out.originReach, std::fabs(out.origin[k]));
    }
    return out;
}

// Whether the segment's part [tnear, tfar] enters a geometry's box, or
// passes near enough that the shapes' own tests might find a hit: they
// round in floats, and take a point some millionths of the coordinates'
// size (the ray's origin's included) outside a shape, and its box, for one
// on it. A reciprocal's rounding, some parts in 2^52, is far inside that.
bool meetsBox(const double* box, const RayForBoxes& ray, float tnear, float tfar) {
    if (box[0] > box[3])
        return false;
    const double* o = ray.origin;
    double reach = ray.originReach;
    for (int k = 0; k < 3; ++k)
        reach = std::max({reach, std::fabs(box[k]), std::fabs(box[3 + k])});
    const double widen = reach * 0x1p-18;
    double enter = tnear;
    double leave = tfar;
    for (int k = 0; k < 3; ++k) {
        const double lower = box[k] - widen;
        const double upper = box[3 + k] + widen;
        if (ray.direction[k] == 0.0) {
            if (o[k] < lower || o[k] > upper)
                return false;
            continue;
        }
        double t0 = (lower - o[k]) * ray.inverse[k];
        double t1 = (upper - o[k]) * ray.inverse[k];
        if (t0 > t1)
            std::swap(t0, t1);
        enter = std::max(enter, t0);
        leave = std::min(leave, t1);
    }
    return enter <= leave;
}

// The geometry whose shapes a geometry's queries test: its own, or the
// instanced one's.
const Geometry& shapesOf(const GeometryScene& scene, const Geometry& geometry) {
    return geometry.kind == GeometryKind::Instance ? scene.geometries[geometry.of] : geometry;
}

// The segment in the space of an instance's shapes: the same distances
// name the same points, as the map is affine.
QueryRay instanceRay(const Geometry& geometry, const QueryRay& ray) {
    const Double3 o = mapPoint(geometry.inverse, {ray.origin.x, ray.origin.y, ray.origin.z});
    const Double3 d =
        mapDirection(geometry.inverse, {ray.direction.x, ray.direction.y, ray.direction.z});
    return {{static_cast<float>(o.x), static_cast<float>(o.y), static_cast<float>(o.z)},
            {static_cast<float>(d.x), static_cast<float>(d.y), static_cast<float>(d.z)},
            ray.tnear,
            ray.tfar};
}

// A normal of the instanced shapes in the scene's space: a triangle's as
// its corners there turn, a sphere's outward.
Vector3 sceneNormal(const Geometry& geometry, const Vector3& normal, bool triangle) {
    if (geometry.kind != GeometryKind::Instance)
        return normal;
    Double3 n = mapNormal(geometry.inverse, {normal.x, normal.y, normal.z});
    double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    if (triangle && determinant(geometry.transform) < 0.0)
        length = -length;
    if (!(length != 0.0))
        return {0.0f, 0.0f, 0.0f};
    return {static_cast<float>(n.x / length), static_cast<float>(n.y / length),
            static_cast<float>(n.z / length)};
}

GeometryHit noGeometryHit() {
    return {infinity, 0.0f, 0.0f, {0.0f, 0.0f, 0.0f}, noGeometry, noPrimitive};
}

// One geometry where it is: its rays that leave one point walk together.
bool isAlone(const GeometryScene& scene) {
    return scene.geometries.size() == 1 && scene.geometries[0].kind != GeometryKind::Instance;
}

// Calls visit(id, geometry, ray in the space of its shapes) for each
// geometry whose box the segment, up to end(), enters; visit returns true to
// stop. The caller's ray itself where it is not mapped: a copy just written
// is read back slowly where a load spans two of its stores.
template <class Visit, class End>
bool forEachMet(const GeometryScene& scene, const QueryRay& ray, End&& end, Visit&& visit) {
    // A geometry alone is walked at once: its hierarchy's first boxes are
    // its box, and tested in floats without a division.
    if (isAlone(scene))
        return visit(0, scene.geometries[0], ray);
    const RayForBoxes forBoxes = rayForBoxes(ray);
    for (uint32_t id = 0; id < scene.geometries.size(); ++id) {
        if (!meetsBox(&scene.boxes[6 * size_t{id}], forBoxes, ray.tnear, end()))
            continue;
        const Geometry& geometry = scene.geometries[id];
        const bool stop = geometry.kind == GeometryKind::Instance
                              ? visit(id, geometry, instanceRay(geometry, ray))
                              : visit(id, geometry, ray);
        if (stop)
            return true;
    }
    return false;
}

struct ListSink {
    std::vector<SegmentHit>* hits;
    uint32_t geometry;
    float scale; // of the distances the walk finds, back to the ray's

    static void take(void* data, float t, uint32_t index) {
        const ListSink& sink = *static_cast<const ListSink*>(data);
        sink.hits->push_back({t * sink.scale, sink.geometry, index});
    }
};

// The hits of a geometry's shapes along ray: their count, and each into
// list where there is one.
uint32_t everyHit(const QueryScene& query, const QueryRay& ray, ListSink* list) {
    QueryRay shorter;
    float scale;
    const QueryRay& traced = shortenDirection(ray, shorter, scale);
    float tfar = traced.tfar;
    if (!query.bvh || !traceable(traced, tfar))
        return 0;
    HitSink sink;
    if (list) {
        list->scale = scale;
        sink = {ListSink::take, list};
    }
    return kernelInUse.everyInBvh(*query.bvh, traced, shearRay(traced.origin, traced.direction),
                                  tfar, sink);
}

// Runs of rays, so that a thread takes the pool's counter once a run.
constexpr size_t raysPerRun = 256;

} // namespace

bool intersectNearest(TraceContext& context, const GeometryScene& scene, const QueryRay& ray,
                      GeometryHit& hit) {
    hit = noGeometryHit();
    float nearest = ray.tfar;
    forEachMet(
        scene, ray, [&] { return nearest; },
        [&](uint32_t id, const Geometry& geometry, const QueryRay& local) {
            // Cut at the nearest hit so far, once there is one.
            QueryRay cut;
            const QueryRay* segment = &local;
            if (nearest != local.tfar) {
                cut = local;
                cut.tfar = nearest;
                segment = &cut;
            }
            QueryHit found;
            if (!intersectNearest(context, shapesOf(scene, geometry).query, *segment, found))
                return false;
            // As near as one before it: the earlier geometry keeps it.
            if (hit.geometry != noGeometry && !(found.t < nearest))
                return false;
            nearest = found.t;
            hit = {
                found.t, found.u,
                found.v, sceneNormal(geometry, found.normal, found.type == PrimitiveType::Triangle),
                id,      found.primitive};
            return false;
        });
    return hit.geometry != noGeometry;
}

bool intersectAny(TraceContext& context, const GeometryScene& scene, const QueryRay& ray) {
    return forEachMet(
        scene, ray, [&] { return ray.tfar; },
        [&](uint32_t, const Geometry& geometry, const QueryRay& local) {
            return intersectAny(context, shapesOf(scene, geometry).query, local);
        });
}

uint32_t countIntersections(TraceContext&, const GeometryScene& scene, const QueryRay& ray) {
    uint32_t count = 0;
    forEachMet(
        scene, ray, [&] { return ray.tfar; },
        [&](uint32_t, const Geometry& geometry, const QueryRay& local) {
            count += everyHit(shapesOf(scene, geometry).query, local, nullptr);
            return false;
        });
    return count;
}

void listIntersections(TraceContext&, const GeometryScene& scene, const QueryRay& ray,
                       std::vector<SegmentHit>& hits) {
    hits.clear();
    forEachMet(
        scene, ray, [&] { return ray.tfar; },
        [&](uint32_t id, const Geometry& geometry, const QueryRay& local) {
            ListSink sink{&hits, id, 1.0f};
            everyHit(shapesOf(scene, geometry).query, local, &sink);
            return false;
        });
    std::sort(hits.begin(), hits.end(), [](const SegmentHit& a, const SegmentHit& b) {
        if (a.t != b.t)
            return a.t < b.t;
        return a.geometry != b.geometry ? a.geometry < b.geometry : a.primitive < b.primitive;
    });
}

void intersectNearest(WorkerPool& pool, const GeometryScene& scene, const QueryRay* rays,
                      GeometryHit* hits, size_t count) {
    const bool alone = isAlone(scene);
    pool.runRanges(count, raysPerRun, [&](size_t first, size_t end, TraceContext& context) {
        if (!alone) {
            for (size_t i = first; i < end; ++i)
                intersectNearest(context, scene, rays[i], hits[i]);
            return;
        }
        QueryHit found[raysPerRun];
        intersectNearest(context, scene.geometries[0].query, rays + first, found, end - first);
        for (size_t i = first; i < end; ++i) {
            const QueryHit& h = found[i - first];
            hits[i] = h.primitive == noPrimitive
                          ? noGeometryHit()
                          : GeometryHit{h.t, h.u, h.v, h.normal, 0, h.primitive};
        }
    });
}

void intersectAny(WorkerPool& pool, const GeometryScene& scene, const QueryRay* rays,
                  bool* occluded, size_t count) {
    if (isAlone(scene)) {
        pool.runRanges(count, raysPerRun, [&](size_t first, size_t end, TraceContext& context) {
            intersectAny(context, scene.geometries[0].query, rays + first, occluded + first,
                         end - first);
        });
        return;
    }
    pool.runEach(count, raysPerRun, [&](size_t i, TraceContext& context) {
        occluded[i] = intersectAny(context, scene, rays[i]);
    });
}

void countIntersections(WorkerPool& pool, const GeometryScene& scene, const QueryRay* rays,
                        uint32_t* counts, size_t count) {
    pool.runEach(count, raysPerRun, [&](size_t i, TraceContext& context) {
        counts[i] = countIntersections(context, scene, rays[i]);
    });
}

} // namespace vantrel
