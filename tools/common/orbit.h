// The benchmark's camera path: fixed clock values along the demo's orbit,
// and the same orbit moved and scaled to frame a loaded mesh.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

constexpr uint32_t orbitFrameCount = 25;
constexpr int32_t orbitStepMs = 2500;

// Clock value of orbit frame i: 0, 2500, ..., 60000 ms.
constexpr int32_t orbitFrameClock(uint32_t frame) {
    return static_cast<int32_t>(frame) * orbitStepMs;
}

// Half the side of the cube that the demo's sphere centres fill; the orbit's
// distances (26 to 94) are made for it.
constexpr float demoHalfExtent = 11.0f;

struct BoundingBox {
    Vector3 min;
    Vector3 max;
};

// Whether any ray can hit the triangle: its corners finite and not on one
// line or at one point (worked out in double). One that cannot, a point far
// off say, must not decide where a model is placed or framed.
bool triangleCanBeHit(const Triangle& triangle);

// Box around the vertices of the list's triangles that can be hit, so that
// the camera frames what it can see. False when there are none.
bool triangleBounds(const PrimitiveList& list, BoundingBox& box);

// Moves the camera of the demo orbit so that it circles the box's centre at
// distances scaled by the box's largest half-extent over demoHalfExtent.
// The orientation is unchanged, so the camera still faces the centre.
Matrix4 frameBox(const Matrix4& orbitCamera, const BoundingBox& box);

} // namespace vantrel
