#include "tools/view/view_load.h"

#include <new>

#include "tools/common/memory_messages.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/scene/memory_left.h"

namespace vantrel {

namespace {

void setStep(ViewLoad& load, const std::string& step) {
    const std::lock_guard<std::mutex> lock(load.mutex);
    load.step = step;
}

void loadOnWorker(ViewLoad& load, const std::string& path, int32_t method) {
    bool loaded = false;
    std::string error;
    try {
        showProgress(load.progress, "loading " + path);
        loaded = buildMeshScene(load.scene, path.c_str(), method, error);
    } catch (const std::bad_alloc&) {
        error = "out of memory while reading '" + path + "'";
    }
    if (loaded && load.scene.buildResult != BuildResult::Built) {
        loaded = false;
        const BuildResult result = load.scene.buildResult;
        if (result == BuildResult::OverBudget)
            error = budgetExceededMessage(processMemoryLeft());
        else if (result == BuildResult::InputTooLarge)
            error = inputTooLargeMessage(processMemoryLeft());
        else
            error = std::string("out of memory while building the ") +
                    (load.scene.hierarchy ? "hierarchy" : "kd-tree") + " of '" + path + "'";
    }
    clearProgress(load.progress);
    const std::lock_guard<std::mutex> lock(load.mutex);
    load.loaded = loaded;
    load.error = error;
    load.done = true;
}

} // namespace

void startViewLoad(ViewLoad& load, const std::string& path, int32_t method) {
    load.scene = ToolScene{};
    load.scene.hierarchy = method == noMethod;
    load.scene.keepMeshCoordinates = load.scene.hierarchy;
    load.scene.buildThreads = 0;
    load.scene.light = FrameLight::Model;
    load.progress = progressLineFor(false);
    load.progress.observer = [&load](const std::string& step) { setStep(load, step); };
    load.scene.progress = &load.progress;
    load.done = false;
    load.loaded = false;
    load.worker = std::thread(loadOnWorker, std::ref(load), path, method);
}

bool viewLoadStep(ViewLoad& load, std::string& step) {
    const std::lock_guard<std::mutex> lock(load.mutex);
    step = load.step;
    return load.done;
}

bool finishViewLoad(ViewLoad& load, std::string& error) {
    if (load.worker.joinable())
        load.worker.join();
    load.scene.progress = nullptr;
    error = load.error;
    return load.loaded;
}

void releaseViewLoad(ViewLoad& load) {
    if (load.worker.joinable())
        load.worker.join();
    releaseToolScene(load.scene);
}

} // namespace vantrel
