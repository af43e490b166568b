// The child step's sphere test, four spheres at a time.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/sphere_gap.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// The two boxes a split on one axis cuts a node's box into; they differ on
// that axis only.
struct ChildBoxes {
    float lowerMin[3];
    float lowerMax[3];
    float upperMin[3];
    float upperMax[3];
};

constexpr uint32_t sphereSideLanes = 4;

#if VANTREL_KDTREE_SSE

// The boxes' bounds in every lane, for a split on Axis.
template <int Axis> struct SphereSideBoxes {
    explicit SphereSideBoxes(const ChildBoxes& boxes) {
        for (int k = 0; k < 3; ++k) {
            lo[k] = _mm_set1_ps(boxes.lowerMin[k]);
            hi[k] = _mm_set1_ps(boxes.lowerMax[k]);
        }
        upperLo = _mm_set1_ps(boxes.upperMin[Axis]);
        upperHi = _mm_set1_ps(boxes.upperMax[Axis]);
    }
    __m128 lo[3]; // the lower box
    __m128 hi[3];
    __m128 upperLo; // the upper box on Axis
    __m128 upperHi;
};

// sphereTouchesBox of the spheres of four entries against both boxes, with
// the same float operations in the same order (the gaps summed from 0 in the
// order x, y, z), so with the same answers: bit i for entry i and the lower
// box, bit 4 + i for it and the upper box.
template <int Axis>
uint32_t sphereSides(const ListEntry four[sphereSideLanes], const SphereSideBoxes<Axis>& boxes) {
    // Centre and radius are the first four floats of a sphere.
    __m128 x = _mm_loadu_ps(&static_cast<const Sphere*>(four[0].object)->centre.x);
    __m128 y = _mm_loadu_ps(&static_cast<const Sphere*>(four[1].object)->centre.x);
    __m128 z = _mm_loadu_ps(&static_cast<const Sphere*>(four[2].object)->centre.x);
    __m128 radius = _mm_loadu_ps(&static_cast<const Sphere*>(four[3].object)->centre.x);
    _MM_TRANSPOSE4_PS(x, y, z, radius);
    const __m128 centre[3] = {x, y, z};
    __m128 gap[3];
    for (int k = 0; k < 3; ++k)
        gap[k] = gapSquared4(centre[k], boxes.lo[k], boxes.hi[k]);
    const __m128 upperGap = gapSquared4(centre[Axis], boxes.upperLo, boxes.upperHi);
    __m128 lower = _mm_setzero_ps();
    __m128 upper = _mm_setzero_ps();
    for (int k = 0; k < 3; ++k) {
        lower = _mm_add_ps(lower, gap[k]);
        upper = _mm_add_ps(upper, k == Axis ? upperGap : gap[k]);
    }
    const __m128 reach = _mm_mul_ps(radius, radius);
    return static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpge_ps(reach, lower))) |
           static_cast<uint32_t>(_mm_movemask_ps(_mm_cmpge_ps(reach, upper))) << sphereSideLanes;
}

#else

template <int Axis> struct SphereSideBoxes {
    explicit SphereSideBoxes(const ChildBoxes& childBoxes) : boxes(childBoxes) {}
    const ChildBoxes& boxes;
};

template <int Axis>
uint32_t sphereSides(const ListEntry four[sphereSideLanes], const SphereSideBoxes<Axis>& side) {
    uint32_t bits = 0;
    for (uint32_t i = 0; i < sphereSideLanes; ++i) {
        const Sphere& s = *static_cast<const Sphere*>(four[i].object);
        bits |= uint32_t{sphereTouchesBox(s, side.boxes.lowerMin, side.boxes.lowerMax)} << i;
        bits |= uint32_t{sphereTouchesBox(s, side.boxes.upperMin, side.boxes.upperMax)}
                << (sphereSideLanes + i);
    }
    return bits;
}

#endif

} // namespace vantrel
