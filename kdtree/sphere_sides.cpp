#include "kdtree/sphere_sides.h"

#include <limits>

#include "kdtree/kd_node.h"

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vantrel {

const Sphere unmatchedSphere = {{0.0f, 0.0f, 0.0f}, std::numeric_limits<float>::quiet_NaN(), {}};

#if defined(__SSE2__)

namespace {

// gapSquared of kd_node.cpp in four lanes: (c - lo)² where lo > c, else
// (c - hi)² where c > hi, else 0; a NaN coordinate gives 0 as it does there.
__m128 gapSquared(__m128 c, __m128 lo, __m128 hi) {
    const __m128 below = _mm_cmpgt_ps(lo, c);
    const __m128 above = _mm_and_ps(_mm_cmpgt_ps(c, hi), _mm_sub_ps(c, hi));
    const __m128 e = _mm_or_ps(_mm_and_ps(below, _mm_sub_ps(c, lo)), _mm_andnot_ps(below, above));
    return _mm_mul_ps(e, e);
}

// The squared distance from each centre to the box, summed from 0 in the
// order x, y, z as sphereTouchesBox sums it.
__m128 distanceSquared(const __m128 centre[3], const float boxMin[3], const float boxMax[3]) {
    __m128 d = _mm_setzero_ps();
    for (int k = 0; k < 3; ++k)
        d = _mm_add_ps(d, gapSquared(centre[k], _mm_set1_ps(boxMin[k]), _mm_set1_ps(boxMax[k])));
    return d;
}

} // namespace

uint32_t sphereSides(const Sphere* const spheres[sphereSideLanes], const ChildBoxes& boxes) {
    // Centre and radius are the first four floats of a sphere.
    __m128 x = _mm_loadu_ps(&spheres[0]->centre.x);
    __m128 y = _mm_loadu_ps(&spheres[1]->centre.x);
    __m128 z = _mm_loadu_ps(&spheres[2]->centre.x);
    __m128 radius = _mm_loadu_ps(&spheres[3]->centre.x);
    _MM_TRANSPOSE4_PS(x, y, z, radius);
    const __m128 centre[3] = {x, y, z};
    const __m128 reach = _mm_mul_ps(radius, radius);
    const __m128 lower =
        _mm_cmpge_ps(reach, distanceSquared(centre, boxes.lowerMin, boxes.lowerMax));
    const __m128 upper =
        _mm_cmpge_ps(reach, distanceSquared(centre, boxes.upperMin, boxes.upperMax));
    return static_cast<uint32_t>(_mm_movemask_ps(lower)) |
           static_cast<uint32_t>(_mm_movemask_ps(upper)) << sphereSideLanes;
}

#else

uint32_t sphereSides(const Sphere* const spheres[sphereSideLanes], const ChildBoxes& boxes) {
    uint32_t sides = 0;
    for (uint32_t i = 0; i < sphereSideLanes; ++i) {
        sides |= uint32_t{sphereTouchesBox(*spheres[i], boxes.lowerMin, boxes.lowerMax)} << i;
        sides |= uint32_t{sphereTouchesBox(*spheres[i], boxes.upperMin, boxes.upperMax)}
                 << (sphereSideLanes + i);
    }
    return sides;
}

#endif

} // namespace vantrel
