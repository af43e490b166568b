// What the application shell owns for the whole run.
#pragma once

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {

extern RenderTarget renderTarget;
extern PrimitiveList topLevelList; // one NestedTree entry: compiledTree
extern Sphere* sphereArray;        // the compiled tree's leaves point into it
extern KdTree* compiledTree;

// Frees the spheres, the top-level entries and the pixel buffer. The compiled
// tree and the ray table are kept until the process ends.
void releaseScene();

// Renders topLevelList into renderTarget with the camera of the current clock.
void animateCamera();

} // namespace vantrel
