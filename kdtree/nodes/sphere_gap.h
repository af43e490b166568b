// One axis's share of the squared distance from a sphere's centre to a box,
// in four lanes and in one.
#pragma once

#include "vantrel/kdtree/nodes/four_lanes.h"

namespace vantrel {

#if VANTREL_KDTREE_SSE

// (c - lo)² where lo > c, else (c - hi)² where c > hi, else 0; a NaN
// coordinate gives 0. As masks, not branches: which side of a slab a centre
// lies on is hard to foresee.
inline __m128 gapSquared4(__m128 c, __m128 lo, __m128 hi) {
    const __m128 below = _mm_cmpgt_ps(lo, c);
    const __m128 above = _mm_and_ps(_mm_cmpgt_ps(c, hi), _mm_sub_ps(c, hi));
    const __m128 e = _mm_or_ps(_mm_and_ps(below, _mm_sub_ps(c, lo)), _mm_andnot_ps(below, above));
    return _mm_mul_ps(e, e);
}

// The same for one coordinate and the slab [lo, hi]. Adding 0 inside the
// slab leaves a sum of squares unchanged.
inline float sphereGapSquared(float c, float lo, float hi) {
    return _mm_cvtss_f32(gapSquared4(_mm_set_ss(c), _mm_set_ss(lo), _mm_set_ss(hi)));
}

#else

inline float sphereGapSquared(float c, float lo, float hi) {
    const float outside = c > hi ? c - hi : 0.0f;
    const float e = lo > c ? c - lo : outside;
    return e * e;
}

#endif

} // namespace vantrel
