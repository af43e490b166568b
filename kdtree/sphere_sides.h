// The child step's sphere test, four spheres at a time.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace vantrel {

// The two boxes a split cuts a node's box into.
struct ChildBoxes {
    float lowerMin[3];
    float lowerMax[3];
    float upperMin[3];
    float upperMax[3];
};

constexpr uint32_t sphereSideLanes = 4;

// sphereTouchesBox of each of four spheres against both boxes, with the same
// float operations in the same order, so with the same answers: bit i for
// spheres[i] and the lower box, bit 4 + i for it and the upper box.
uint32_t sphereSides(const Sphere* const spheres[sphereSideLanes], const ChildBoxes& boxes);

// A sphere no box test accepts, to fill the lanes of a short batch.
extern const Sphere unmatchedSphere;

} // namespace vantrel
