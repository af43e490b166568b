// P in the viewer: the image shown, as a PNG file beside the model.
#pragma once

#include <string>

#include "vantrel/tracer/render_target.h"

namespace vantrel {

struct Screenshot {
    std::string path; // absolute where it can be resolved
    bool fellBack;    // written in the fallback folder
};

// Writes target's pixels as <stem>-view-<n>.png beside modelPath (stem: the
// model's name without its extension; n: the first from 1 not taken, so no
// file is ever replaced). Where the model's folder takes no new files
// (read-only, no permission) it goes to fallbackFolder instead. False, with
// the reason in error, when it could not be written; nothing is left behind.
bool writeViewScreenshot(const std::string& modelPath, const std::string& fallbackFolder,
                         const RenderTarget& target, Screenshot& shot, std::string& error);

} // namespace vantrel
