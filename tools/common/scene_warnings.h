// What the tools warn about: a run that cannot show what it was given.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {

struct MeshSurvey {
    uint32_t leftOut;    // triangles the build leaves out: not finite
    uint32_t flat;       // without area: corners on one line or at one point
    uint32_t unhittable; // with area, but too small for the renderer's rays
};

// Counts the list's triangles of each kind. The renderer's triangle test
// refuses a ray when |(e1 x e2) . d| < 0.001, and for a triangle with
// |e1 x e2| < 0.001 that holds for every unit direction d; no test hits a
// triangle without area.
MeshSurvey surveyMesh(const PrimitiveList& list);

// Warns, as tool, about the mesh's triangles that are left out, those
// without area (which the framing leaves out too) and, unless it is traced
// through the queries (whose triangle test has no size bound), those too
// small for the renderer to hit.
void warnAboutMesh(const char* tool, const PrimitiveList& mesh, bool queries);

// True when every pixel of the target is black.
bool frameIsBlack(const RenderTarget& target);

} // namespace vantrel
