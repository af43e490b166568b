// Reading the model and building its kd-tree, on a thread of their own so
// that the window stays responsive meanwhile and shows the step under way.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "tools/common/progress_line.h"
#include "tools/common/tool_scene.h"
#include "tools/view/view_options.h"

namespace vantrel {

struct ViewLoad {
    ToolScene scene; // the worker's until finishViewLoad returns
    ProgressLine progress;
    std::thread worker;
    std::mutex mutex; // guards step and done
    std::string step;
    bool done;
    bool loaded;
    std::string error;
};

// Starts reading path and building the queries' hierarchy over it on every
// core, the model where its file puts it: the queries' triangle test has
// no size bound. With a method (0, 1 or 2), its kd-tree instead, the model
// placed as the benchmark's --mesh places it (centred, largest half-extent
// 11), for the renderer's test, which refuses triangles below a size. The
// steps are shown on terminal, when standard error is one, as the benchmark
// shows them.
void startViewLoad(ViewLoad& load, const std::string& path, int32_t method);

// The step under way; true once the work is over.
bool viewLoadStep(ViewLoad& load, std::string& step);

// Waits for the work. True when the model is ready in load.scene; otherwise
// false, with the reason (the reader's, or the build's memory) in error.
bool finishViewLoad(ViewLoad& load, std::string& error);

void releaseViewLoad(ViewLoad& load);

} // namespace vantrel
