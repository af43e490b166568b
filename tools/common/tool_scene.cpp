#include "tools/common/tool_scene.h"
#include "tools/common/mesh_placement.h"
#include "tools/common/scene_warnings.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "vantrel/app/demo_scene.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/triangle_loader.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

constexpr Vector3 demoViewExtent = {1.0f, 1.3333334f, 1.0f};

// Pixels traced through the queries at once: the rays and hits of a band
// are held, not the whole frame's (96 bytes a pixel, 6 GiB at 8192x8192).
constexpr size_t queryBandPixels = size_t{1} << 16;

void buildTree(ToolScene& scene, const PrimitiveList& list, int32_t method) {
    if (scene.progress)
        showProgress(*scene.progress,
                     scene.hierarchy
                         ? "building the hierarchy of " + std::to_string(list.count) + " primitives"
                         : "building the kd-tree of " + std::to_string(list.count) +
                               " primitives, method " + std::to_string(method));
    const auto start = std::chrono::steady_clock::now();
    if (scene.hierarchy) {
        QueryBuildOptions options;
        options.threads = scene.buildThreads;
        options.memoryBudget = scene.buildOptions.memoryBudget;
        options.sharedBudget = scene.buildOptions.sharedBudget;
        options.hugePages = scene.buildOptions.hugePages;
        scene.buildResult = buildQueryScene(scene.query, list, options);
        scene.tree = nullptr;
    } else if (scene.queries) {
        scene.buildResult = buildQueryScene(scene.query, list, method, scene.buildOptions);
        scene.tree = scene.query.tree;
    } else {
        scene.buildResult = buildKdTree(&scene.tree, &list, method, scene.buildOptions);
    }
    const auto end = std::chrono::steady_clock::now();
    scene.buildMs = std::chrono::duration<double, std::milli>(end - start).count();
    if (scene.buildResult != BuildResult::Built)
        scene.tree = nullptr;
    scene.topLevelEntry = {scene.tree, PrimitiveType::NestedTree};
    scene.topLevelList = {&scene.topLevelEntry, 1};
}

// Whether the scene's frames and probes go through the queries.
bool throughQueries(const ToolScene& scene) {
    return scene.queries || scene.hierarchy;
}

} // namespace

uint64_t toolFrameBytes(uint32_t width, uint32_t height, ImageKind image) {
    const uint64_t pixels = uint64_t{width} * height;
    uint64_t bytes = pixels * (3 + sizeof(Ray));
    if (image != ImageKind::Colour)
        bytes +=
            std::min<uint64_t>(pixels, queryBandPixels) * (sizeof(QueryRay) + sizeof(QueryHit)) +
            (image == ImageKind::Depth ? pixels * sizeof(float) : 0);
    return bytes;
}

void setUpToolTarget(ToolScene& scene) {
    setUpToolTarget(scene, demoWidth, demoHeight, 0.0f);
}

void setUpToolTarget(ToolScene& scene, uint32_t width, uint32_t height, float fovDegrees) {
    scene = ToolScene{};
    scene.target.width = width;
    scene.target.height = height;
    scene.target.pixels = new uint8_t[size_t{width} * height * 3]();
    Vector3 extent = demoViewExtent; // its own floats, for the demo's frames to the bit
    if (width != demoWidth || height != demoHeight || fovDegrees > 0.0f) {
        const float tall =
            fovDegrees > 0.0f ? 2.0f * std::tan(fovDegrees * 3.14159265f / 360.0f) : 1.0f;
        extent = {1.0f, tall * static_cast<float>(width) / static_cast<float>(height), tall};
    }
    buildRayTable(scene.target, extent);
}

void buildSphereScene(ToolScene& scene, uint32_t count, int32_t method) {
    scene.spheres = new Sphere[count];
    PrimitiveRef* refs = new PrimitiveRef[count];
    fillDemoSpheres(scene.spheres, refs, count);
    const PrimitiveList list = {refs, count};
    buildTree(scene, list, method);
    // The tree holds its own copies of the references; the queries name a
    // hit by its place in the list.
    if (throughQueries(scene))
        scene.sphereRefs = refs;
    else
        delete[] refs;
}

bool buildMeshScene(ToolScene& scene, const char* path, int32_t method, std::string& error) {
    std::string why;
    bool unplaceable = false;
    scene.mesh = loadToolMesh(path, scene.keepMeshCoordinates, why, &unplaceable);
    if (!scene.mesh) {
        error = std::string(unplaceable             ? "cannot place '"
                            : importsMeshFile(path) ? "cannot import '"
                                                    : "cannot read a mesh from '") +
                path + "': " + why;
        return false;
    }
    if (scene.mesh->count == 0) {
        error = std::string("mesh file '") + path + "' holds no triangle";
        return false;
    }
    if (!triangleBounds(*scene.mesh, scene.meshBox)) {
        const MeshSurvey survey = surveyMesh(*scene.mesh);
        error = std::string("mesh file '") + path + "' holds no usable triangle: " +
                (survey.flat == 0
                     ? std::string("each has a coordinate beyond float range or NaN")
                     : std::to_string(survey.flat) + " of " + std::to_string(scene.mesh->count) +
                           " have no area (their corners on one line or at one "
                           "point), and no ray can hit any");
        return false;
    }
    scene.framesMesh = true;
    buildTree(scene, *scene.mesh, method);
    return true;
}

Matrix4 toolCamera(const ToolScene& scene, int32_t clockMs) {
    if (scene.fixedCamera)
        return scene.camera;
    const Matrix4 orbit = cameraMatrixAt(clockMs);
    return scene.framesMesh ? frameBox(orbit, scene.meshBox) : orbit;
}

namespace {

// A ray table's direction turned by the camera, as the frame turns it.
Vector3 turned(const Matrix4& camera, const Vector3& d) {
    const float* m = camera.m;
    return {m[0] * d.x + m[4] * d.y + m[8] * d.z, m[1] * d.x + m[5] * d.y + m[9] * d.z,
            m[2] * d.x + m[6] * d.y + m[10] * d.z};
}

// One frame through the queries, on the pool's threads or this one's, in
// bands of pixels.
FrameRun renderQueryFrame(ToolScene& scene, const Matrix4& camera) {
    const RenderTarget& target = scene.target;
    const size_t pixels = size_t{target.width} * target.height;
    const Vector3 eye{camera.m[12], camera.m[13], camera.m[14]};
    std::vector<QueryRay> rays(std::min(pixels, queryBandPixels));
    std::vector<QueryHit> hits(rays.size());
    // A depth is shaded once the frame's nearest and farthest hits are known.
    std::vector<float> depths(scene.image == ImageKind::Depth ? pixels : 0);
    TraceContext context;
    std::chrono::duration<double> traced{0};
    float nearest = INFINITY;
    float farthest = 0.0f;
    for (size_t first = 0; first < pixels; first += rays.size()) {
        const size_t count = std::min(rays.size(), pixels - first);
        for (size_t i = 0; i < count; ++i)
            rays[i] = {eye, turned(camera, target.rays[first + i].direction), 0.0f, INFINITY};
        const auto start = std::chrono::steady_clock::now();
        if (scene.pool != nullptr) {
            intersectNearest(*scene.pool, scene.query, rays.data(), hits.data(), count);
        } else {
            for (size_t i = 0; i < count; ++i)
                intersectNearest(context, scene.query, rays[i], hits[i]);
        }
        traced += std::chrono::steady_clock::now() - start;
        for (size_t i = 0; i < count; ++i) {
            uint8_t* pixel = target.pixels + 3 * (first + i);
            const QueryHit& hit = hits[i];
            pixel[0] = pixel[1] = pixel[2] = 0;
            if (scene.image == ImageKind::Depth) {
                depths[first + i] = hit.primitive == noPrimitive ? -1.0f : hit.t;
                if (hit.primitive != noPrimitive) {
                    nearest = std::min(nearest, hit.t);
                    farthest = std::max(farthest, hit.t);
                }
            } else if (hit.primitive == noPrimitive) {
                continue;
            } else if (scene.image == ImageKind::Normal) {
                const float n[3] = {hit.normal.x, hit.normal.y, hit.normal.z};
                for (int k = 0; k < 3; ++k)
                    pixel[k] = static_cast<uint8_t>(127.5f + 127.0f * n[k]);
            } else {
                const uint32_t key = (hit.primitive + 1) * 2654435761u;
                for (int k = 0; k < 3; ++k)
                    pixel[k] = static_cast<uint8_t>(64 + (key >> (8 * k)) % 192);
            }
        }
    }
    for (size_t i = 0; i < depths.size(); ++i) {
        if (depths[i] < 0.0f)
            continue;
        const float t = depths[i];
        const float near = farthest > nearest ? (farthest - t) / (farthest - nearest) : 1;
        uint8_t* pixel = target.pixels + 3 * i;
        pixel[0] = pixel[1] = pixel[2] = static_cast<uint8_t>(40.0f + 215.0f * near);
    }
    return {static_cast<uint32_t>(pixels), traced.count()};
}

} // namespace

FrameRun renderToolFrame(ToolScene& scene, int32_t clockMs) {
    const Matrix4 camera = toolCamera(scene, clockMs);
    if (scene.queries)
        return renderQueryFrame(scene, camera);
    if (scene.hierarchy) {
        const auto start = std::chrono::steady_clock::now();
        if (scene.pool != nullptr) {
            renderFrame(*scene.pool, scene.query, scene.target, camera, scene.light);
        } else {
            TraceContext context;
            renderFrame(context, scene.query, scene.target, camera, scene.light);
        }
        const auto end = std::chrono::steady_clock::now();
        return {scene.target.width * scene.target.height,
                std::chrono::duration<double>(end - start).count()};
    }
    // Per frame, so that long runs cannot wrap the 32-bit counter.
    scene.tree->rayCount = 0;
    const auto start = std::chrono::steady_clock::now();
    if (scene.pool != nullptr)
        renderFrame(*scene.pool, scene.topLevelList, scene.target, camera);
    else
        renderFrame(scene.topLevelList, scene.target, camera);
    const auto end = std::chrono::steady_clock::now();
    return {scene.tree->rayCount, std::chrono::duration<double>(end - start).count()};
}

PixelProbe probePixel(ToolScene& scene, int32_t clockMs, uint32_t x, uint32_t y) {
    const Matrix4 camera = toolCamera(scene, clockMs);
    const Vector3 d =
        turned(camera, scene.target.rays[size_t{y} * scene.target.width + x].direction);
    PixelProbe probe{};
    probe.ray.origin = {camera.m[12], camera.m[13], camera.m[14]};
    const Vector3 offZero{keepOffZero(d.x), keepOffZero(d.y), keepOffZero(d.z)};
    if (throughQueries(scene)) {
        // A colour frame's rays are the renderer's, a query image's as turned.
        probe.ray.direction = scene.queries ? d : offZero;
        TraceContext context;
        QueryHit hit;
        probe.hit = intersectNearest(context, scene.query,
                                     {probe.ray.origin, probe.ray.direction, 0.0f, INFINITY}, hit);
        probe.record = {hit.material, hit.t, hit.normal};
        return probe;
    }
    probe.ray.direction = offZero;
    probe.hit = intersectList(scene.topLevelList, probe.ray) != 0;
    probe.record = hitRecord;
    return probe;
}

void releaseToolScene(ToolScene& scene) {
    if (throughQueries(scene))
        releaseQueryScene(scene.query); // and the tree with it, if any
    else
        releaseKdTree(scene.tree);
    delete[] scene.sphereRefs;
    if (scene.mesh)
        releaseMesh(scene.mesh);
    delete[] scene.spheres;
    delete[] scene.target.rays;
    delete[] scene.target.pixels;
    scene = ToolScene{};
}

} // namespace vantrel
