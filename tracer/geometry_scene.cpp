#include "vantrel/tracer/geometry_scene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <type_traits>

#include "vantrel/bvh/refit_bvh.h"
#include "vantrel/scene/buildable.h"
#include "vantrel/tracer/affine.h"
#include "vantrel/tracer/pool_threads.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Whether every number is finite and within the queries' range: only then
// does a build take in every triangle, and a refit can stand for it.
bool allInRange(const float* values, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (!(std::fabs(values[i]) <= queryCoordinateLimit))
            return false;
    return true;
}

static_assert(std::is_nothrow_move_constructible<Geometry>::value,
              "a sphere list's records move with their geometry");

uint32_t added(GeometryScene& scene, Geometry&& geometry) {
    scene.geometries.push_back(std::move(geometry));
    scene.built = false;
    return static_cast<uint32_t>(scene.geometries.size() - 1);
}

void setCost(Geometry& geometry, bool built) {
    geometry.cost = geometry.query.bvh ? bvhCost(*geometry.query.bvh) : 0.0;
    if (built)
        geometry.builtCost = geometry.cost;
}

BuildResult buildGeometry(Geometry& geometry, const QueryBuildOptions& options) {
    BuildResult result;
    if (geometry.kind == GeometryKind::Triangles) {
        result = buildQueryScene(geometry.query, geometry.vertices.data(),
                                 static_cast<uint32_t>(geometry.vertices.size() / 3),
                                 geometry.indices.data(),
                                 static_cast<uint32_t>(geometry.indices.size() / 3), options);
    } else {
        const size_t count = geometry.radii.size();
        geometry.spheres.resize(count);
        geometry.sphereRefs.resize(count);
        for (size_t i = 0; i < count; ++i) {
            const float* c = &geometry.vertices[3 * i];
            geometry.spheres[i] = {{c[0], c[1], c[2]}, geometry.radii[i], {1.0f, 1.0f, 1.0f, 0.0f}};
            geometry.sphereRefs[i] = {&geometry.spheres[i], PrimitiveType::Sphere};
        }
        const PrimitiveList list{geometry.sphereRefs.data(), static_cast<uint32_t>(count)};
        result = buildQueryScene(geometry.query, list, options);
    }
    geometry.built = result == BuildResult::Built;
    geometry.leafCorners.clear();
    if (geometry.built)
        setCost(geometry, true);
    return result;
}

// A box that rounding in the queries' arithmetic cannot pass by: grown by
// a few parts in a million of its largest coordinate.
void grow(double* box) {
    double reach = 0.0;
    for (int k = 0; k < 6; ++k)
        reach = std::max(reach, std::fabs(box[k]));
    const double margin = reach * 0x1p-20;
    for (int k = 0; k < 3; ++k) {
        box[k] -= margin;
        box[3 + k] += margin;
    }
}

// A geometry's box where the scene puts it (for an instance, around its
// geometry's box transformed); false where it holds nothing to hit.
bool placedBox(const GeometryScene& scene, uint32_t id, double* box) {
    const Geometry& geometry = scene.geometries[id];
    const Geometry& placed =
        geometry.kind == GeometryKind::Instance ? scene.geometries[geometry.of] : geometry;
    Vector3 lower;
    Vector3 upper;
    if (!querySceneBounds(placed.query, lower, upper))
        return false;
    if (geometry.kind != GeometryKind::Instance) {
        const double bounds[6] = {lower.x, lower.y, lower.z, upper.x, upper.y, upper.z};
        std::copy(bounds, bounds + 6, box);
        return true;
    }
    std::fill(box, box + 3, infinity);
    std::fill(box + 3, box + 6, -infinity);
    for (int corner = 0; corner < 8; ++corner) {
        const Double3 p = mapPoint(geometry.transform, {(corner & 1) ? upper.x : lower.x,
                                                        (corner & 2) ? upper.y : lower.y,
                                                        (corner & 4) ? upper.z : lower.z});
        const double at[3] = {p.x, p.y, p.z};
        for (int k = 0; k < 3; ++k) {
            box[k] = std::min(box[k], at[k]);
            box[3 + k] = std::max(box[3 + k], at[k]);
        }
    }
    return true;
}

void setBox(GeometryScene& scene, uint32_t id) {
    double* box = &scene.boxes[6 * size_t{id}];
    if (placedBox(scene, id, box)) {
        grow(box);
        return;
    }
    // Nothing to hit: a box no ray enters.
    std::fill(box, box + 3, infinity);
    std::fill(box + 3, box + 6, -infinity);
}

void setBoxes(GeometryScene& scene) {
    scene.boxes.resize(6 * scene.geometries.size());
    for (uint32_t id = 0; id < scene.geometries.size(); ++id)
        setBox(scene, id);
}

} // namespace

uint32_t addTriangles(GeometryScene& scene, const float* vertices, uint32_t vertexCount,
                      const uint32_t* indices, uint32_t triangleCount) {
    for (size_t i = 0; i < size_t{3} * triangleCount; ++i)
        if (indices[i] >= vertexCount)
            return noGeometry;
    Geometry geometry;
    geometry.kind = GeometryKind::Triangles;
    geometry.vertices.assign(vertices, vertices + size_t{3} * vertexCount);
    geometry.indices.assign(indices, indices + size_t{3} * triangleCount);
    geometry.inRange = allInRange(vertices, size_t{3} * vertexCount);
    return added(scene, std::move(geometry));
}

uint32_t addSpheres(GeometryScene& scene, const float* centres, const float* radii,
                    uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        const Sphere sphere{{centres[3 * i], centres[3 * i + 1], centres[3 * i + 2]}, radii[i], {}};
        if (!isBuildable(PrimitiveRef{const_cast<Sphere*>(&sphere), PrimitiveType::Sphere}))
            return noGeometry;
    }
    Geometry geometry;
    geometry.kind = GeometryKind::Spheres;
    geometry.vertices.assign(centres, centres + size_t{3} * count);
    geometry.radii.assign(radii, radii + count);
    return added(scene, std::move(geometry));
}

uint32_t addInstance(GeometryScene& scene, uint32_t geometry, const double* transform) {
    if (geometry >= scene.geometries.size() ||
        scene.geometries[geometry].kind == GeometryKind::Instance)
        return noGeometry;
    Geometry instance;
    instance.kind = GeometryKind::Instance;
    instance.of = geometry;
    std::copy(transform, transform + 12, instance.transform);
    for (int k = 0; k < 12; ++k)
        if (!std::isfinite(transform[k]))
            return noGeometry;
    if (!invertAffine(instance.transform, instance.inverse))
        return noGeometry;
    // A sphere stretched would be an ellipsoid, whose closest points the
    // point queries do not find.
    if (scene.geometries[geometry].kind == GeometryKind::Spheres && !keepsShapes(transform))
        return noGeometry;
    instance.leastStretch = leastStretchOf(instance.transform);
    instance.built = true;
    return added(scene, std::move(instance));
}

BuildResult buildGeometryScene(GeometryScene& scene, const QueryBuildOptions& options) {
    if (scene.built)
        return BuildResult::Built;
    // One pool for every geometry's build, rather than one each.
    QueryBuildOptions shared = options;
    std::unique_ptr<WorkerPool> ownPool;
    if (!shared.pool && shared.threads != 1) {
        ownPool = std::make_unique<WorkerPool>(shared.threads);
        shared.pool = ownPool.get();
    }
    for (Geometry& geometry : scene.geometries) {
        if (geometry.built)
            continue;
        const BuildResult result = buildGeometry(geometry, shared);
        if (result != BuildResult::Built)
            return result;
    }
    setBoxes(scene);
    scene.built = true;
    return BuildResult::Built;
}

VertexUpdate updateVertices(GeometryScene& scene, uint32_t geometry, const float* vertices,
                            const QueryBuildOptions& options) {
    if (geometry >= scene.geometries.size() ||
        scene.geometries[geometry].kind != GeometryKind::Triangles)
        return {false, false, 0.0, false};
    Geometry& mesh = scene.geometries[geometry];
    std::copy(vertices, vertices + mesh.vertices.size(), mesh.vertices.begin());
    const bool wasInRange = mesh.inRange;
    mesh.inRange = allInRange(vertices, mesh.vertices.size());
    scene.built = false;
    // A triangle the build left out, or one that now must be, changes
    // which the hierarchy holds: only a build puts that right.
    if (!mesh.built || !wasInRange || !mesh.inRange || !mesh.query.bvh) {
        mesh.built = false;
        return {true, false, 0.0, false};
    }
    if (mesh.leafCorners.empty())
        mesh.leafCorners = leafCorners(*mesh.query.bvh, mesh.indices.data());
    std::unique_ptr<WorkerPool> ownPool;
    refitBvh(*mesh.query.bvh, mesh.vertices.data(), mesh.leafCorners.data(),
             poolThreads(options, ownPool));
    setCost(mesh, false);
    setBoxes(scene);
    scene.built = std::all_of(scene.geometries.begin(), scene.geometries.end(),
                              [](const Geometry& g) { return g.built; });
    const double ratio = mesh.builtCost > 0.0 ? mesh.cost / mesh.builtCost : 1.0;
    return {true, true, ratio, ratio > refitCostLimit};
}

void rebuildGeometry(GeometryScene& scene, uint32_t geometry) {
    if (geometry >= scene.geometries.size() ||
        scene.geometries[geometry].kind == GeometryKind::Instance)
        return;
    scene.geometries[geometry].built = false;
    scene.built = false;
}

bool geometrySceneBounds(const GeometryScene& scene, double* lower, double* upper) {
    bool any = false;
    for (uint32_t id = 0; id < scene.geometries.size(); ++id) {
        double box[6];
        if (!placedBox(scene, id, box))
            continue;
        for (int k = 0; k < 3; ++k) {
            lower[k] = any ? std::min(lower[k], box[k]) : box[k];
            upper[k] = any ? std::max(upper[k], box[3 + k]) : box[3 + k];
        }
        any = true;
    }
    return any;
}

std::size_t geometrySceneBytes(const GeometryScene& scene) {
    std::size_t bytes = 0;
    for (const Geometry& geometry : scene.geometries)
        bytes += querySceneBytes(geometry.query) + geometry.leafCorners.size() * sizeof(uint32_t);
    return bytes;
}

void releaseGeometryScene(GeometryScene& scene) {
    for (Geometry& geometry : scene.geometries)
        releaseQueryScene(geometry.query);
    scene = GeometryScene{};
}

} // namespace vantrel
