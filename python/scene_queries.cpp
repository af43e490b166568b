// A scene's queries: batches of rays and points, answered on a pool's
// threads without the interpreter's lock, in the shape they came in.
#include <limits>

#include "interpreter_release.h"
#include "scene.h"

namespace vantrel {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// Points a thread takes at once.
constexpr size_t pointRun = 256;

// Points in double precision: a distance far smaller than the points'
// coordinates is measured from where they are, not from their floats.
template <class Answer>
void eachPoint(WorkerPool& pool, const Numbers<double>& points, Answer&& answer) {
    pool.runEach(
        static_cast<size_t>(points.shape(0)), pointRun,
        [&](size_t i, TraceContext& context) { answer(points.data() + 3 * i, i, context); });
}

Vector3 floats(const double* p) {
    return {static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2])};
}

} // namespace

void Scene::name(uint32_t geometry, uint32_t primitive, int64_t& geom, int64_t& prim) const {
    if (geometry == noGeometry) {
        geom = prim = -1;
        return;
    }
    geom = geometry;
    const Geometry& g = scene_.geometries[geometry];
    // An instance's primitive is its mesh's face.
    const std::vector<uint32_t>& faces =
        faceIds_[g.kind == GeometryKind::Instance ? g.of : geometry];
    prim = faces.empty() ? int64_t{primitive} : int64_t{faces[primitive]};
}

Result Scene::intersect(const py::handle& rays, const py::handle& directions,
                        const py::handle& tnear, const py::handle& tfar,
                        const py::object& threads) const {
    const Rays batch = raysOf(rays, directions, tnear, tfar);
    Result result = resultArrays(batch.count);
    float* t = result.t.mutable_data();
    int64_t* geom = result.geom.mutable_data();
    int64_t* prim = result.prim.mutable_data();
    float* u = result.u.mutable_data();
    float* v = result.v.mutable_data();
    float* normal = result.normal.mutable_data();
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const auto lock = readable();
    {
        const WithoutInterpreter release;
        inRuns(*pool, batch, [&](const QueryRay& ray, size_t i, TraceContext& context) {
            GeometryHit hit;
            intersectNearest(context, scene_, ray, hit);
            t[i] = hit.t;
            u[i] = hit.u;
            v[i] = hit.v;
            normal[3 * i] = hit.normal.x;
            normal[3 * i + 1] = hit.normal.y;
            normal[3 * i + 2] = hit.normal.z;
            name(hit.geometry, hit.primitive, geom[i], prim[i]);
        });
    }
    reshape(result, batch.shape);
    return result;
}

py::array Scene::occluded(const py::handle& rays, const py::handle& directions,
                          const py::handle& tnear, const py::handle& tfar,
                          const py::object& threads) const {
    const Rays batch = raysOf(rays, directions, tnear, tfar);
    requireMemory(batch.count, "the answers of " + std::to_string(batch.count) + " rays");
    py::array_t<bool> result(batch.count);
    bool* out = result.mutable_data();
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const auto lock = readable();
    {
        const WithoutInterpreter release;
        // A run at a time, so that rays from one point walk together.
        pool->runRanges(batch.count, runLength,
                        [&](size_t first, size_t end, TraceContext& context) {
                            QueryRay run[runLength];
                            for (size_t i = first; i < end; ++i)
                                run[i - first] = batch.doubles ? rayAt<double>(batch, i)
                                                               : rayAt<float>(batch, i);
                            if (scene_.geometries.size() == 1 &&
                                scene_.geometries[0].kind != GeometryKind::Instance) {
                                intersectAny(context, scene_.geometries[0].query, run, out + first,
                                             end - first);
                                return;
                            }
                            for (size_t i = first; i < end; ++i)
                                out[i] = intersectAny(context, scene_, run[i - first]);
                        });
    }
    return shaped(result, batch.shape);
}

py::array Scene::countIntersections(const py::handle& rays, const py::handle& directions,
                                    const py::handle& tnear, const py::handle& tfar,
                                    const py::object& threads) const {
    const Rays batch = raysOf(rays, directions, tnear, tfar);
    requireMemory(4 * batch.count, "the counts of " + std::to_string(batch.count) + " rays");
    py::array_t<int32_t> result(batch.count);
    int32_t* out = result.mutable_data();
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const auto lock = readable();
    {
        const WithoutInterpreter release;
        inRuns(*pool, batch, [&](const QueryRay& ray, size_t i, TraceContext& context) {
            out[i] = static_cast<int32_t>(vantrel::countIntersections(context, scene_, ray));
        });
    }
    return shaped(result, batch.shape);
}

ClosestPoints Scene::closestPoints(const py::handle& points, const py::object& threads) const {
    std::vector<py::ssize_t> shape;
    const Numbers<double> at = pointsOf(points, "points", shape);
    const size_t count = static_cast<size_t>(at.shape(0));
    ClosestPoints result = closestPointArrays(count);
    float* point = result.point.mutable_data();
    float* distance = result.distance.mutable_data();
    int64_t* geom = result.geom.mutable_data();
    int64_t* prim = result.prim.mutable_data();
    float* u = result.u.mutable_data();
    float* v = result.v.mutable_data();
    float* normal = result.normal.mutable_data();
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const auto lock = readable();
    {
        const WithoutInterpreter release;
        eachPoint(*pool, at, [&](const double* p, size_t i, TraceContext&) {
            ClosestPoint closest;
            closestPoint(scene_, p, infinity, closest);
            std::copy(&closest.point.x, &closest.point.x + 3, point + 3 * i);
            std::copy(&closest.normal.x, &closest.normal.x + 3, normal + 3 * i);
            distance[i] = closest.distance;
            u[i] = closest.u;
            v[i] = closest.v;
            name(closest.geometry, closest.primitive, geom[i], prim[i]);
        });
    }
    reshape(result, shape);
    return result;
}

// One float32 answer a point, in the points' shape.
template <class Answer>
py::array Scene::answerPoints(const py::handle& points, const py::object& threads,
                              Answer&& answer) const {
    std::vector<py::ssize_t> shape;
    const Numbers<double> at = pointsOf(points, "points", shape);
    py::array_t<float> result(at.shape(0));
    float* out = result.mutable_data();
    const std::shared_ptr<WorkerPool> pool = poolFor(threads);
    const auto lock = readable();
    {
        const WithoutInterpreter release;
        eachPoint(*pool, at, [&](const double* p, size_t i, TraceContext& context) {
            out[i] = answer(p, context);
        });
    }
    return shaped(result, shape);
}

py::array Scene::distance(const py::handle& points, const py::object& threads) const {
    return answerPoints(points, threads, [&](const double* p, TraceContext&) {
        ClosestPoint closest;
        closestPoint(scene_, p, infinity, closest);
        return closest.distance;
    });
}

py::array Scene::signedDistance(const py::handle& points, const py::object& threads) const {
    return answerPoints(points, threads, [&](const double* p, TraceContext& context) {
        ClosestPoint closest;
        closestPoint(scene_, p, infinity, closest);
        return isInside(context, scene_, floats(p)) ? -closest.distance : closest.distance;
    });
}

py::array Scene::occupancy(const py::handle& points, const py::object& threads) const {
    return answerPoints(points, threads, [&](const double* p, TraceContext& context) {
        return isInside(context, scene_, floats(p)) ? 1.0f : 0.0f;
    });
}

} // namespace vantrel
