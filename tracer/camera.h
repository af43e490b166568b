// The camera: a per-pixel ray table built once, and a matrix per frame that
// orbits the origin while facing it (the program's clock drives it:
// animateCamera, app/shell_state.h).
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {

// viewExtent: x the distance of the image plane, y its full width, z its
// full height. Allocates target.rays (width * height) and fills it with unit
// camera-space directions; origins are (0, 0, 0).
void buildRayTable(RenderTarget& target, const Vector3& viewExtent);

// A camera at eye looking at target, y up (z where it looks along y), for a
// ray table built by buildRayTable: its x is right, y up and z ahead.
Matrix4 cameraLookingAt(const Vector3& eye, const Vector3& target);

// Whether cameraLookingAt can aim from eye at target: target - eye, and its
// length squared in float, finite and that above the smallest normal float,
// so that it scales to a unit direction. Elsewhere the matrix holds
// infinities or NaN and every ray misses.
bool cameraCanLookAt(const Vector3& eye, const Vector3& target);

// The camera matrix at a clock value, in ticks of clockTicks(). Pure.
Matrix4 cameraMatrixAt(int32_t ticks);

} // namespace vantrel
