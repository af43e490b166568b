// vantrel-bench: builds a scene, renders frames of the camera orbit through
// the window's renderer without a window, and reports the figures.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "tools/bench/bench_environment.h"
#include "tools/bench/bench_memory.h"
#include "tools/bench/bench_options.h"
#include "tools/bench/bench_output.h"
#include "tools/bench/bench_report.h"
#include "tools/bench/bench_scene.h"
#include "tools/bench/image_file.h"
#include "tools/bench/peak_memory.h"
#include "tools/bench/progress_line.h"
#include "tools/bench/scene_warnings.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/build_budget.h"
#include "vantrel/tracer/worker_pool.h"
#include "vantrel/version.h"

using namespace vantrel;

namespace {

ProgressLine progress{};

int failWith(const std::string& message, int status) {
    clearProgress(progress);
    std::fprintf(stderr, "vantrel-bench: %s\n", message.c_str());
    return status;
}

void warn(const std::string& message) {
    std::fprintf(stderr, "vantrel-bench: warning: %s\n", message.c_str());
}

void warnAboutMesh(const PrimitiveList& mesh) {
    const MeshSurvey survey = surveyMesh(mesh);
    const std::string of = " of " + std::to_string(mesh.count) + " triangles ";
    if (survey.leftOut > 0)
        warn(std::to_string(survey.leftOut) + of +
             "have a coordinate beyond float range or NaN and are left out");
    if (survey.unhittable > 0)
        warn(std::to_string(survey.unhittable) + of +
             "are too small for any ray to hit (|e1 x e2| below 0.001)");
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

    selectKernel(options.kernel);
    progress = progressLineFor(options.json);
    BenchScene scene;
    setUpBenchTarget(scene);
    scene.progress = &progress;
    scene.keepMeshCoordinates = options.meshAsIs;
    scene.buildOptions = benchBuildOptions();
    if (options.meshPath.empty()) {
        showProgress(progress, "generating " + std::to_string(options.sphereCount) + " spheres");
        buildSphereScene(scene, options.sphereCount, options.method);
    } else {
        showProgress(progress, "loading " + options.meshPath);
        if (!buildMeshScene(scene, options.meshPath.c_str(), options.method, error)) {
            releaseBenchScene(scene);
            return failWith(error, 1);
        }
        warnAboutMesh(*scene.mesh);
    }
    if (scene.buildResult != BuildResult::Built) {
        const BuildResult result = scene.buildResult;
        releaseBenchScene(scene);
        if (result == BuildResult::OverBudget)
            return failWith(budgetExceededMessage(processMemoryLeft()), 1);
        if (result == BuildResult::InputTooLarge)
            return failWith(inputTooLargeMessage(processMemoryLeft()), 1);
        return failWith("out of memory", 1);
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
    result.tree = measureKdTree(*scene.tree);
    result.frames = benchFrameCount(options);
    for (uint32_t frame = 0; frame < result.frames; ++frame) {
        showProgress(progress, "rendering frame " + std::to_string(frame + 1) + " of " +
                                   std::to_string(result.frames));
        const FrameRun run = renderBenchFrame(scene, benchFrameClock(options, frame));
        result.rays += run.rays;
        result.renderSeconds += run.seconds;
    }
    clearProgress(progress);
    result.peakRssMib = peakResidentMib();

    int status = 0;
    std::string written;
    if (!options.outPath.empty()) {
        std::string reason;
        if (writeImage(options.outPath.c_str(), options.outFormat, scene.target.pixels,
                       scene.target.width, scene.target.height, &reason)) {
            written = displayPath(options.outPath);
            if (frameIsBlack(scene.target))
                warn("the frame written to '" + options.outPath + "' is entirely black");
        } else {
            status = failWith("cannot write '" + options.outPath + "': " + reason, 1);
        }
    }

    if (options.json) {
        std::printf("%s\n", formatJson(result).c_str());
    } else {
        if (options.meshPath.empty())
            std::printf("scene:          %u spheres, method %d\n", options.sphereCount,
                        options.method);
        else
            std::printf("scene:          %u triangles from %s, method %d\n", scene.mesh->count,
                        options.meshPath.c_str(), options.method);
        std::fputs(formatText(result).c_str(), stdout);
        if (!written.empty())
            std::printf("last frame:     %s\n", written.c_str());
    }
    releaseBenchScene(scene);
    return status;
}

int main(int argc, char** argv) {
    int status;
    try {
        status = runBench(argc, argv);
    } catch (const std::bad_alloc&) {
        // A scene too large for the machine: one clear line, not an abort.
        status = failWith("out of memory", 1);
    }
    std::string error;
    if (!closeStandardOutput(error))
        status = failWith("cannot write to standard output: " + error, 1);
    return status;
}
