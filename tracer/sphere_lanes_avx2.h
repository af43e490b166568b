// The end of the sphere test on eight lanes at once, shared by the kernel that
// tests one ray against eight spheres and the one that tests eight rays
// against one sphere.
#pragma once

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "tracer/sphere_test.h"

namespace vantrel {

// sphereCandidate from b and the discriminant D on, lane by lane: a lane
// whose candidate is accepted and nearer than best takes it into best and
// entry into bestEntry. The rejecting comparisons are negated ("not <=") so
// that NaN lanes, such as padding, fall out just as there.
__attribute__((target("avx2"))) inline void keepNearerCandidates(__m256 b, __m256 D, __m256 entry,
                                                                 __m256& best, __m256& bestEntry) {
    const __m256 zero = _mm256_setzero_ps();
    const __m256 s = _mm256_sqrt_ps(D);
    const __m256 tn = _mm256_sub_ps(b, s);
    const __m256 tf = _mm256_add_ps(b, s);
    const __m256 candidate = _mm256_blendv_ps(tn, tf, _mm256_cmp_ps(tn, zero, _CMP_LT_OQ));
    __m256 better =
        _mm256_and_ps(_mm256_cmp_ps(D, zero, _CMP_NLE_UQ), _mm256_cmp_ps(tf, zero, _CMP_NLE_UQ));
    better =
        _mm256_and_ps(better, _mm256_cmp_ps(candidate, _mm256_set1_ps(minHitDistance), _CMP_GT_OQ));
    better = _mm256_and_ps(better, _mm256_cmp_ps(candidate, best, _CMP_LT_OQ));
    best = _mm256_blendv_ps(best, candidate, better);
    bestEntry = _mm256_blendv_ps(bestEntry, entry, better);
}

} // namespace vantrel

#endif
