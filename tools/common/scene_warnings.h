// What the tools warn about: a run that cannot show what it was given.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {

struct MeshSurvey {
    uint32_t leftOut;    // triangles the build leaves out: not finite
    uint32_t unhittable; // built over, but too small for any ray to hit
};

// Counts the list's triangles of both kinds. The triangle test refuses a ray
// when |(e1 x e2) . d| < 0.001, and for a triangle with |e1 x e2| < 0.001 that
// holds for every unit direction d.
MeshSurvey surveyMesh(const PrimitiveList& list);

// Warns, as tool, about the mesh's triangles that are left out, and, unless
// it is traced through the queries (whose triangle test has no size bound),
// about those too small to hit.
void warnAboutMesh(const char* tool, const PrimitiveList& mesh, bool queries);

// True when every pixel of the target is black.
bool frameIsBlack(const RenderTarget& target);

} // namespace vantrel
