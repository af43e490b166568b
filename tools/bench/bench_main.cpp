// vantrel-bench: builds a scene, renders frames of the camera orbit through
// the window's renderer without a window, and reports the figures.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>

#include "tools/bench/bench_environment.h"
#include "tools/bench/bench_options.h"
#include "tools/bench/bench_report.h"
#include "tools/bench/peak_memory.h"
#include "tools/common/image_file.h"
#include "tools/common/memory_messages.h"
#include "tools/common/output.h"
#include "tools/common/progress_line.h"
#include "tools/common/scene_warnings.h"
#include "tools/common/tool_main.h"
#include "tools/common/tool_scene.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/build_budget.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/worker_pool.h"
#include "vantrel/version.h"

using namespace vantrel;

namespace {

constexpr const char* tool = "vantrel-bench";

ProgressLine progress{};

void clearProgressLine() {
    clearProgress(progress);
}

// A message on a clean line, not after the progress shown on it.
int failWith(const std::string& message, int status) {
    clearProgressLine();
    return vantrel::failWith(tool, message, status);
}

std::string jsonEscaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string numbers(std::initializer_list<float> values) {
    std::string out;
    char number[32];
    for (float v : values) {
        std::snprintf(number, sizeof number, "%s%.9g", out.empty() ? "" : ",", v);
        out += number;
    }
    return out;
}

// What the run was asked to do, for the JSON form: enough to run it again.
std::string settingsJson(const BenchOptions& options, uint32_t primitives) {
    std::string json = "\"version\":\"" + std::string(VANTREL_VERSION) + "\"";
    json += ",\"method\":" + std::to_string(options.method);
    json += std::string(",\"accel\":\"") + (options.accel == BenchAccel::Hierarchy ? "bvh" : "kd") +
            "\"";
    json += std::string(",\"light\":\"") + (options.modelLight ? "model" : "renderer") + "\"";
    json += options.meshPath.empty()
                ? std::string(",\"scene\":\"spheres\"")
                : ",\"mesh\":\"" + jsonEscaped(options.meshPath) + "\"" +
                      ",\"mesh_as_is\":" + (options.meshAsIs ? "true" : "false");
    json += ",\"primitives\":" + std::to_string(primitives);
    json += ",\"width\":" + std::to_string(options.width) +
            ",\"height\":" + std::to_string(options.height);
    json += ",\"thread_option\":" + std::to_string(options.threads);
    const char* images[] = {"color", "depth", "normal", "id"};
    json += ",\"image\":\"" + std::string(images[static_cast<int>(options.image)]) + "\"";
    json += ",\"clocks_ms\":[";
    for (uint32_t frame = 0; frame < benchFrameCount(options); ++frame)
        json += (frame ? "," : "") + std::to_string(benchFrameClock(options, frame));
    json += "]";
    const float* c = options.camera;
    json += options.fixedCamera
                ? ",\"camera\":[" + numbers({c[0], c[1], c[2], c[3], c[4], c[5], c[6]}) + "]"
                : std::string(",\"camera\":\"orbit\"");
    return json;
}

std::string pixelJson(const BenchOptions& options, const PixelProbe& probe) {
    const Ray& r = probe.ray;
    std::string json = "{\"x\":" + std::to_string(options.pixelX) +
                       ",\"y\":" + std::to_string(options.pixelY) + ",\"origin\":[" +
                       numbers({r.origin.x, r.origin.y, r.origin.z}) + "],\"direction\":[" +
                       numbers({r.direction.x, r.direction.y, r.direction.z}) + "]";
    if (!probe.hit)
        return json + ",\"hit\":false}";
    const HitRecord& h = probe.record;
    return json + ",\"hit\":true,\"distance\":" + numbers({h.distance}) + ",\"normal\":[" +
           numbers({h.normal.x, h.normal.y, h.normal.z}) + "],\"colour\":[" +
           numbers({h.material.red, h.material.green, h.material.blue}) + "]}";
}

std::string describePixel(const BenchOptions& options, const PixelProbe& probe) {
    const Ray& r = probe.ray;
    char line[512];
    std::snprintf(line, sizeof line, "pixel %u,%u:      ray from (%g, %g, %g) along (%g, %g, %g)",
                  options.pixelX, options.pixelY, r.origin.x, r.origin.y, r.origin.z, r.direction.x,
                  r.direction.y, r.direction.z);
    std::string out = line;
    if (!probe.hit)
        return out + ", hits nothing";
    const HitRecord& h = probe.record;
    std::snprintf(line, sizeof line,
                  ", hits at distance %g, normal (%g, %g, %g), colour (%g, %g, %g)", h.distance,
                  h.normal.x, h.normal.y, h.normal.z, h.material.red, h.material.green,
                  h.material.blue);
    return out + line;
}

// The absolute name tells the user where to look whatever their directory.
std::string displayPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

} // namespace

int runBench(int argc, char** argv) {
    BenchOptions options;
    std::string error;
    switch (parseBenchOptions(argc, argv, options, error)) {
    case ParseOutcome::Help:
        std::fputs(benchUsage(), stdout);
        return 0;
    case ParseOutcome::Version:
        std::printf("vantrel-bench %s\n", VANTREL_VERSION);
        return 0;
    case ParseOutcome::Error:
        return failWith(error, 2);
    case ParseOutcome::Run:
        break;
    }
    if (options.meshPath.empty() &&
        !sphereCountFits(options.sphereCount, buildMemoryBudget(), error))
        return failWith(error, 2);
    // Found now rather than after every frame has rendered.
    if (!options.outPath.empty() && !canCreateOutput(options.outPath.c_str(), error))
        return failWith("cannot write '" + options.outPath + "': " + error, 1);

    // Weighed first: a frame too large would be cut short by the system, or
    // the machine left deep in swap.
    const uint64_t frameBytes = toolFrameBytes(options.width, options.height, options.image);
    const MemoryLeft left = processMemoryLeft();
    if (frameBytes > left.bytes)
        return failWith(frameTooLargeMessage(options.width, options.height, frameBytes, left), 1);

    selectKernel(options.kernel);
    progress = progressLineFor(options.json);
    ToolScene scene;
    setUpToolTarget(scene, options.width, options.height,
                    options.fixedCamera ? options.camera[6] : 0.0f);
    if (options.fixedCamera) {
        const float* c = options.camera;
        scene.fixedCamera = true;
        scene.camera = cameraLookingAt({c[0], c[1], c[2]}, {c[3], c[4], c[5]});
    }
    scene.progress = &progress;
    scene.queries = options.image != ImageKind::Colour;
    scene.hierarchy = options.accel == BenchAccel::Hierarchy;
    scene.buildThreads = options.threads;
    scene.light = options.modelLight ? FrameLight::Model : FrameLight::Renderer;
    scene.image = options.image;
    scene.keepMeshCoordinates = options.meshAsIs;
    scene.buildOptions = benchBuildOptions();
    if (options.meshPath.empty()) {
        showProgress(progress, "generating " + std::to_string(options.sphereCount) + " spheres");
        buildSphereScene(scene, options.sphereCount, options.method);
    } else {
        showProgress(progress, "loading " + options.meshPath);
        if (!buildMeshScene(scene, options.meshPath.c_str(), options.method, error)) {
            releaseToolScene(scene);
            return failWith(error, 1);
        }
        warnAboutMesh(tool, *scene.mesh, scene.queries || scene.hierarchy);
    }
    if (scene.buildResult != BuildResult::Built) {
        const BuildResult result = scene.buildResult;
        const uint32_t beyond = scene.mesh ? queryShapesOutOfRange(*scene.mesh) : 0;
        releaseToolScene(scene);
        if (result == BuildResult::OverBudget)
            return failWith(budgetExceededMessage(processMemoryLeft()), 1);
        if (result == BuildResult::InputTooLarge)
            return failWith(inputTooLargeMessage(processMemoryLeft()), 1);
        if (result == BuildResult::OutOfRange)
            return failWith(
                std::to_string(beyond) +
                    (beyond == 1 ? " triangle lies beyond " : " triangles lie beyond ") +
                    queryRangeText() +
                    " from the origin, where the ray queries' tests answer every "
                    "ray exactly; --mesh places a model (centred, largest "
                    "half-extent 11), or move it nearer the origin",
                1);
        return failWith(outOfMemoryMessage(), 1);
    }

    // Made once, before the first frame: a frame costs no thread's start.
    std::unique_ptr<WorkerPool> pool;
    if (options.threads != 1) {
        pool = std::make_unique<WorkerPool>(options.threads);
        scene.pool = pool.get();
    }

    BenchResult result{};
    result.kernel = kernelName(options.kernel);
    result.threads = pool ? pool->threadCount() : 1;
    result.buildMs = scene.buildMs;
    result.hierarchy = scene.hierarchy;
    if (scene.tree)
        result.tree = measureKdTree(*scene.tree);
    const uint32_t primitives = scene.mesh ? scene.mesh->count : options.sphereCount;
    if (scene.hierarchy && primitives != 0)
        result.bytesPerPrimitive = static_cast<double>(querySceneBytes(scene.query)) / primitives;
    result.frames = benchFrameCount(options);
    for (uint32_t frame = 0; frame < result.frames; ++frame) {
        showProgress(progress, "rendering frame " + std::to_string(frame + 1) + " of " +
                                   std::to_string(result.frames));
        const FrameRun run = renderToolFrame(scene, benchFrameClock(options, frame));
        result.rays += run.rays;
        result.renderSeconds += run.seconds;
    }
    clearProgress(progress);
    result.peakRssMib = peakResidentMib();
    result.settingsJson = settingsJson(options, primitives);
    std::string pixelLine;
    if (options.pixelGiven) {
        const PixelProbe probe = probePixel(scene, benchFrameClock(options, result.frames - 1),
                                            options.pixelX, options.pixelY);
        pixelLine = describePixel(options, probe);
        result.settingsJson += ",\"pixel\":" + pixelJson(options, probe);
    }

    int status = 0;
    std::string written;
    if (!options.outPath.empty()) {
        std::string reason;
        if (writeImage(options.outPath.c_str(), options.outFormat, scene.target.pixels,
                       scene.target.width, scene.target.height, &reason)) {
            written = displayPath(options.outPath);
            if (frameIsBlack(scene.target))
                warn(tool, "the frame written to '" + options.outPath + "' is entirely black");
        } else {
            status = failWith("cannot write '" + options.outPath + "': " + reason, 1);
        }
    }

    if (options.json) {
        std::printf("%s\n", formatJson(result).c_str());
    } else {
        const std::string through =
            scene.hierarchy ? "the hierarchy" : "method " + std::to_string(options.method);
        if (options.meshPath.empty())
            std::printf("scene:          %u spheres, %s\n", options.sphereCount, through.c_str());
        else
            std::printf("scene:          %u triangles from %s, %s\n", scene.mesh->count,
                        options.meshPath.c_str(), through.c_str());
        std::fputs(formatText(result).c_str(), stdout);
        if (!pixelLine.empty())
            std::printf("%s\n", pixelLine.c_str());
        if (!written.empty())
            std::printf("last frame:     %s\n", written.c_str());
    }
    releaseToolScene(scene);
    return status;
}

int main(int argc, char** argv) {
    return runToolMain(tool, runBench, argc, argv, clearProgressLine);
}
