// Command line of the viewer.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/options.h"

namespace vantrel {

constexpr uint32_t viewMaxThreads = 1024;

struct ViewOptions {
    std::string meshPath;
    int32_t method;   // kd-tree split method, as the benchmark's --method
    uint32_t threads; // 0: every core
};

// On Error, error holds one line for the user, without the program name.
ParseOutcome parseViewOptions(int argc, const char* const* argv, ViewOptions& options,
                              std::string& error);

// The options and the controls.
const char* viewUsage();

} // namespace vantrel
