// Whether a primitive may touch a box: what decides which children a
// reference goes to, and what the cost methods count.
#pragma once

#include "vantrel/kdtree/nodes/sphere_gap.h"
#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

// The sum from 0, axis by axis in the order x, y, z, of sphereGapSquared
// against the radius squared.
inline bool sphereTouchesBox(const Sphere& sphere, const float boxMin[3], const float boxMax[3]) {
    float d = 0.0f;
    for (int k = 0; k < 3; ++k)
        d += sphereGapSquared(component(sphere.centre, k), boxMin[k], boxMax[k]);
    return sphere.radius * sphere.radius >= d;
}

// Whether the triangle may touch the box, faces, edges and corners included:
// never false for one that does, false for one apart from it by more than
// a hair of its size, and always false when all three corners lie below boxMin on some
// axis. Monotone: what touches a box touches every box around it.
bool triangleTouchesBox(const Triangle& triangle, const float boxMin[3], const float boxMax[3]);

} // namespace vantrel
