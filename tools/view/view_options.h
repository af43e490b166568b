// Command line of the viewer.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/options.h"

namespace vantrel {

constexpr uint32_t viewMaxThreads = 1024;

// No kd-tree: the model is rendered through the queries' hierarchy.
constexpr int32_t noMethod = -1;

struct ViewOptions {
    std::string meshPath;
    int32_t method;   // through a kd-tree of this split method; noMethod: the hierarchy
    uint32_t threads; // 0: every core
};

// On Error, error holds one line for the user, without the program name.
ParseOutcome parseViewOptions(int argc, const char* const* argv, ViewOptions& options,
                              std::string& error);

// The options and the controls.
const char* viewUsage();

} // namespace vantrel
