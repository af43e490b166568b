// The scene a tool traces (the benchmark, the viewer): a render target and
// the demo's camera, over either the demo spheres or a loaded mesh, wrapped
// as the window wraps it.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/image_kind.h"
#include "tools/common/orbit.h"
#include "tools/common/progress_line.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {

class WorkerPool;

struct ToolScene {
    RenderTarget target;
    Sphere* spheres;     // demo spheres, or null
    PrimitiveList* mesh; // loaded mesh, or null
    KdTree* tree;
    PrimitiveRef topLevelEntry; // (tree, NestedTree)
    PrimitiveList topLevelList; // one entry: topLevelEntry
    bool keepMeshCoordinates;   // the mesh is traced where its file puts it
    bool framesMesh;            // the orbit is moved onto meshBox
    BoundingBox meshBox;
    double buildMs;
    BuildOptions buildOptions;
    BuildResult buildResult; // tree is null unless Built
    ProgressLine* progress;  // null: the build is not announced
    WorkerPool* pool;        // null: frames are rendered as the window renders them
    bool fixedCamera;        // every frame from camera rather than the orbit
    Matrix4 camera;
    // Frames through the ray queries: the scene's tree is then query's, and
    // what the pixels show.
    bool queries;
    ImageKind image;
    QueryScene query;
    PrimitiveRef* sphereRefs; // the spheres' list, kept for the queries
    // Everything through the queries' hierarchy alone, built on
    // buildThreads threads (0: one per core), colour frames lit by light:
    // no kd-tree is built.
    bool hierarchy;
    uint32_t buildThreads;
    FrameLight light;
};

// The memory a width x height frame of image takes: its pixels, its ray
// table and, through the queries, a band of rays and hits (and, for depth,
// a distance a pixel).
uint64_t toolFrameBytes(uint32_t width, uint32_t height, ImageKind image);

// The 512x384 target with the demo's ray table; call first.
void setUpToolTarget(ToolScene& scene);

// A width x height target whose rays span the demo's vertical field of view,
// or fovDegrees where it is above 0; call first.
void setUpToolTarget(ToolScene& scene, uint32_t width, uint32_t height, float fovDegrees);

// The first count spheres of the demo generator, compiled with method.
void buildSphereScene(ToolScene& scene, uint32_t count, int32_t method);

// The triangles of the file at path, compiled with method. False, with a
// message in error, when the file cannot be read (and why) or holds no
// triangle the build can use; true when it was read, whether or not its tree
// could be built (buildResult).
bool buildMeshScene(ToolScene& scene, const char* path, int32_t method, std::string& error);

// The camera of the scene at a clock value.
Matrix4 toolCamera(const ToolScene& scene, int32_t clockMs);

struct FrameRun {
    uint32_t rays;  // tested against the scene's tree, or traced through the hierarchy
    double seconds; // inside renderFrame
};

// Renders one frame into scene.target through the window's renderer, or on
// the threads of scene.pool.
FrameRun renderToolFrame(ToolScene& scene, int32_t clockMs);

// The ray of pixel (x, y) of the frame at clockMs, as the frame traces it,
// and what the frame's test (the renderer's, or the queries') finds along it.
struct PixelProbe {
    Ray ray;
    bool hit;
    HitRecord record;
};
PixelProbe probePixel(ToolScene& scene, int32_t clockMs, uint32_t x, uint32_t y);

void releaseToolScene(ToolScene& scene);

} // namespace vantrel
