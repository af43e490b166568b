#include "tools/bench/bench_scene.h"
#include "tools/bench/mesh_placement.h"

#include <chrono>

#include "vantrel/app/camera.h"
#include "vantrel/app/demo_scene.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/triangle_loader.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

namespace {

constexpr Vector3 demoViewExtent = {1.0f, 1.3333334f, 1.0f};

void buildTree(BenchScene& scene, const PrimitiveList& list, int32_t method) {
    if (scene.progress)
        showProgress(*scene.progress, "building the kd-tree of " + std::to_string(list.count) +
                                          " primitives, method " + std::to_string(method));
    const auto start = std::chrono::steady_clock::now();
    scene.buildResult = buildKdTree(&scene.tree, &list, method, scene.buildOptions);
    const auto end = std::chrono::steady_clock::now();
    scene.buildMs = std::chrono::duration<double, std::milli>(end - start).count();
    if (scene.buildResult != BuildResult::Built)
        scene.tree = nullptr;
    scene.topLevelEntry = {scene.tree, PrimitiveType::NestedTree};
    scene.topLevelList = {&scene.topLevelEntry, 1};
}

} // namespace

void setUpBenchTarget(BenchScene& scene) {
    scene = BenchScene{};
    scene.target.width = demoWidth;
    scene.target.height = demoHeight;
    scene.target.pixels = new uint8_t[size_t{demoWidth} * demoHeight * 3]();
    buildRayTable(scene.target, demoViewExtent);
}

void buildSphereScene(BenchScene& scene, uint32_t count, int32_t method) {
    scene.spheres = new Sphere[count];
    PrimitiveRef* refs = new PrimitiveRef[count];
    fillDemoSpheres(scene.spheres, refs, count);
    const PrimitiveList list = {refs, count};
    buildTree(scene, list, method);
    // The tree holds its own copies of the references.
    delete[] refs;
}

bool buildMeshScene(BenchScene& scene, const char* path, int32_t method, std::string& error) {
    std::string why;
    scene.mesh = loadBenchMesh(path, scene.keepMeshCoordinates, why);
    if (!scene.mesh) {
        error =
            std::string(importsMeshFile(path) ? "cannot import '" : "cannot read a mesh from '") +
            path + "': " + why;
        return false;
    }
    if (scene.mesh->count == 0) {
        error = std::string("mesh file '") + path + "' holds no triangle";
        return false;
    }
    if (!triangleBounds(*scene.mesh, scene.meshBox)) {
        error = std::string("mesh file '") + path +
                "' holds no usable triangle: each has a coordinate beyond float range or NaN";
        return false;
    }
    scene.framesMesh = true;
    buildTree(scene, *scene.mesh, method);
    return true;
}

Matrix4 benchCamera(const BenchScene& scene, int32_t clockMs) {
    const Matrix4 orbit = cameraMatrixAt(clockMs);
    return scene.framesMesh ? frameBox(orbit, scene.meshBox) : orbit;
}

FrameRun renderBenchFrame(BenchScene& scene, int32_t clockMs) {
    const Matrix4 camera = benchCamera(scene, clockMs);
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

void releaseBenchScene(BenchScene& scene) {
    releaseKdTree(scene.tree);
    if (scene.mesh)
        releaseMesh(scene.mesh);
    delete[] scene.spheres;
    delete[] scene.target.rays;
    delete[] scene.target.pixels;
    scene = BenchScene{};
}

} // namespace vantrel
