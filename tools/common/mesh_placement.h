// Where the benchmark puts a loaded mesh: centred on the origin and scaled to
// the demo's field, so that a model at any published scale renders. The
// triangle test refuses triangles with |e1 x e2| below 0.001, a bound on
// their size, so a model a few units across would otherwise mostly vanish.
#pragma once

#include <string>

#include "tools/common/orbit.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// The matrix that moves box's centre to the origin and scales it uniformly
// so that its largest half-extent becomes demoHalfExtent. A box without
// extent is only moved; one whose figures are not finite is left in place.
Matrix4 placementFor(const BoundingBox& box);

// Why placementFor cannot place box: a box so small (a model of 1e-44 units)
// that its scale, or the move with it, passes float range and the placed
// coordinates would come out infinite or NaN. Empty where it can.
std::string placementFailure(const BoundingBox& box);

// The mesh at path, read once by readMesh (so in any format it knows), then
// placed by placementFor the box of its triangles a ray can hit
// (triangleBounds), or with the file's coordinates as they are when asIs.
// Null, with the reason in why, when it cannot be read, or when it cannot be
// placed (unplaceable, where given, then says so).
PrimitiveList* loadToolMesh(const char* path, bool asIs, std::string& why,
                            bool* unplaceable = nullptr);

} // namespace vantrel
