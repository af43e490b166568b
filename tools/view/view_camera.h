// The viewer's camera: it orbits a centre point while facing it, at a
// distance, and is moved by the mouse and the keyboard. Pure arithmetic, no
// window.
#pragma once

#include <cstdint>

#include "tools/common/orbit.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Pitch stops short of straight up or down, where the orbit's up axis would
// flip over.
constexpr float viewMaxPitch = 1.5533430f; // 89 degrees

struct ViewCamera {
    Vector3 centre; // the point orbited and faced
    float yaw;      // about the world's y axis; 0 looks along +z
    float pitch;    // positive looks down
    float distance; // from the centre to the eye
    float radius;   // of the model's bounding sphere: the scale of moves
};

// Image plane of a width x height window: the demo's vertical field of view
// (53.13 degrees), the width following the window's shape. Gives the demo's
// own figures at 512x384.
Vector3 viewExtentFor(uint32_t width, uint32_t height);

// The sphere a model is framed by: around the centre of its box, through its
// farthest vertex, so that the whole model stays in view however it is
// turned.
struct ViewFraming {
    Vector3 centre;
    float radius;
};

// Over the triangles of mesh that a ray can hit (triangleCanBeHit); box is their
// bounding box (triangleBounds).
ViewFraming modelFraming(const PrimitiveList& mesh, const BoundingBox& box);

// The pose that shows the whole framing sphere in a width x height window
// (it fits the narrower field of view), seen from the front (+z side), a
// little from the right and from above.
ViewCamera framedView(const ViewFraming& framing, uint32_t width, uint32_t height);

// The camera matrix the renderer takes: columns right, up, view direction and
// the eye. A rotation (it is not normalised again), and right-handed worlds
// are not mirrored.
Matrix4 viewCameraMatrix(const ViewCamera& camera);

// Turns the camera around its centre as if the model were dragged by dx, dy
// pixels (dx to the right, dy down).
void orbitView(ViewCamera& camera, float dx, float dy);

// Multiplies the distance by factor (below 1 comes closer), kept within
// 0.01 to 100 times the model's radius.
void zoomView(ViewCamera& camera, float factor);

// Moves the centre in the image plane so that the point at its depth follows
// a drag of dx, dy pixels in a window height pixels high.
void panView(ViewCamera& camera, float dx, float dy, uint32_t height);

// Moves eye and centre together, forward along the view direction and to the
// right, by the model's radius per second of travel in each.
void moveView(ViewCamera& camera, float forward, float right, float seconds);

} // namespace vantrel
