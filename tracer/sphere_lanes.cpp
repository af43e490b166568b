#include "tracer/sphere_lanes.h"

#if defined(__x86_64__) || defined(__i386__)
#define VANTREL_X86 1
#include <immintrin.h>
#endif

#include "kdtree/kd_tree.h"
#include "tracer/intersect.h"
#include "tracer/sphere_lanes_avx2.h"
#include "tracer/sphere_test.h"

namespace vantrel {

namespace {

using Kernel = uint32_t (*)(const SphereGroup*, uint32_t, const Ray&, float&);

// The winner among the lanes in mask, which all hold the nearest distance:
// each lane keeps its first entry at that distance, so the lowest entry wins.
uint32_t lowestEntry(uint32_t mask, const uint32_t* entryOf) {
    uint32_t winner = noSphereHit;
    for (; mask != 0; mask &= mask - 1) {
        const uint32_t entry = entryOf[__builtin_ctz(mask)];
        if (entry < winner)
            winner = entry;
    }
    return winner;
}

uint32_t groupsOf(uint32_t count) {
    return (count + sphereGroupLanes - 1) / sphereGroupLanes;
}

// Stops at count rather than testing the padding: a square root of NaN
// takes the library's slow path.
uint32_t nearestScalar(const SphereGroup* groups, uint32_t count, const Ray& ray, float& distance) {
    float nearest = noHitDistance;
    uint32_t winner = noSphereHit;
    for (uint32_t entry = 0; entry < count; ++entry) {
        const SphereGroup& group = groups[entry / sphereGroupLanes];
        const uint32_t lane = entry % sphereGroupLanes;
        const Vector3 centre{group.x[lane], group.y[lane], group.z[lane]};
        float candidate;
        bool inside;
        if (sphereCandidate(ray.origin, ray.direction, centre, group.radius[lane], candidate,
                            inside) &&
            candidate < nearest) {
            nearest = candidate;
            winner = entry;
        }
    }
    distance = nearest;
    return winner;
}

#ifdef VANTREL_X86

// The vector kernels repeat sphereCandidate lane by lane with the same
// operations in the same order; the comparisons that reject are negated
// ("not <=") so that NaN lanes, such as the padding, fall out just as there.

__attribute__((target("avx2"))) uint32_t nearestAvx2(const SphereGroup* groups, uint32_t count,
                                                     const Ray& ray, float& distance) {
    const uint32_t groupCount = groupsOf(count);
    const __m256 ox = _mm256_set1_ps(ray.origin.x);
    const __m256 oy = _mm256_set1_ps(ray.origin.y);
    const __m256 oz = _mm256_set1_ps(ray.origin.z);
    const __m256 dx = _mm256_set1_ps(ray.direction.x);
    const __m256 dy = _mm256_set1_ps(ray.direction.y);
    const __m256 dz = _mm256_set1_ps(ray.direction.z);
    const __m256 signBit = _mm256_set1_ps(-0.0f);
    __m256 best = _mm256_set1_ps(noHitDistance);
    __m256 bestEntry = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    __m256i entry = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i step = _mm256_set1_epi32(8);
    for (uint32_t g = 0; g < groupCount; ++g) {
        const SphereGroup& group = groups[g];
        const __m256 ocx = _mm256_sub_ps(ox, _mm256_load_ps(group.x));
        const __m256 ocy = _mm256_sub_ps(oy, _mm256_load_ps(group.y));
        const __m256 ocz = _mm256_sub_ps(oz, _mm256_load_ps(group.z));
        const __m256 r = _mm256_load_ps(group.radius);
        const __m256 ocd = _mm256_add_ps(
            _mm256_add_ps(_mm256_mul_ps(ocx, dx), _mm256_mul_ps(ocy, dy)), _mm256_mul_ps(ocz, dz));
        const __m256 b = _mm256_xor_ps(ocd, signBit);
        const __m256 ococ =
            _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(ocx, ocx), _mm256_mul_ps(ocy, ocy)),
                          _mm256_mul_ps(ocz, ocz));
        const __m256 D =
            _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(b, b), ococ), _mm256_mul_ps(r, r));
        keepNearerCandidates(b, D, _mm256_castsi256_ps(entry), best, bestEntry);
        entry = _mm256_add_epi32(entry, step);
    }
    // Lanes hold no NaN: only ordered comparisons let a candidate in.
    __m256 nearest = _mm256_min_ps(best, _mm256_permute2f128_ps(best, best, 1));
    nearest = _mm256_min_ps(nearest, _mm256_shuffle_ps(nearest, nearest, 0x4e));
    nearest = _mm256_min_ps(nearest, _mm256_shuffle_ps(nearest, nearest, 0xb1));
    distance = _mm256_cvtss_f32(nearest);
    if (distance == noHitDistance)
        return noSphereHit;
    alignas(32) uint32_t entryOf[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(entryOf), _mm256_castps_si256(bestEntry));
    const uint32_t mask = _mm256_movemask_ps(_mm256_cmp_ps(best, nearest, _CMP_EQ_OQ));
    return lowestEntry(mask, entryOf);
}

// A group of padding only, for the AVX-512 kernel's odd last step.
const SphereGroup& paddingGroup() {
    static const SphereGroup padding = [] {
        SphereGroup group;
        for (uint32_t lane = 0; lane < sphereGroupLanes; ++lane) {
            group.x[lane] = group.y[lane] = group.z[lane] = group.radius[lane] = NAN;
            group.sphere[lane] = nullptr;
        }
        return group;
    }();
    return padding;
}

// This compiler's 512-bit intrinsics feed deliberately undefined values to
// the instructions' merge inputs and then warn about them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
// The rows of two groups side by side.
__attribute__((target("avx512f"))) __m512 pairRow(const float* low, const float* high) {
    return _mm512_castpd_ps(_mm512_insertf64x4(
        _mm512_castpd256_pd512(_mm256_load_pd(reinterpret_cast<const double*>(low))),
        _mm256_load_pd(reinterpret_cast<const double*>(high)), 1));
}

__attribute__((target("avx512f"))) uint32_t nearestAvx512(const SphereGroup* groups, uint32_t count,
                                                          const Ray& ray, float& distance) {
    const uint32_t groupCount = groupsOf(count);
    const __m512 ox = _mm512_set1_ps(ray.origin.x);
    const __m512 oy = _mm512_set1_ps(ray.origin.y);
    const __m512 oz = _mm512_set1_ps(ray.origin.z);
    const __m512 dx = _mm512_set1_ps(ray.direction.x);
    const __m512 dy = _mm512_set1_ps(ray.direction.y);
    const __m512 dz = _mm512_set1_ps(ray.direction.z);
    const __m512 zero = _mm512_setzero_ps();
    const __m512 minDistance = _mm512_set1_ps(minHitDistance);
    const __m512i signBit = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    __m512 best = _mm512_set1_ps(noHitDistance);
    __m512i bestEntry = _mm512_set1_epi32(-1);
    __m512i entry = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(16);
    // Two groups a step; an odd last group is paired with padding.
    for (uint32_t g = 0; g < groupCount; g += 2) {
        const SphereGroup& low = groups[g];
        const SphereGroup& high = g + 1 < groupCount ? groups[g + 1] : paddingGroup();
        const __m512 ocx = _mm512_sub_ps(ox, pairRow(low.x, high.x));
        const __m512 ocy = _mm512_sub_ps(oy, pairRow(low.y, high.y));
        const __m512 ocz = _mm512_sub_ps(oz, pairRow(low.z, high.z));
        const __m512 r = pairRow(low.radius, high.radius);
        const __m512 ocd = _mm512_add_ps(
            _mm512_add_ps(_mm512_mul_ps(ocx, dx), _mm512_mul_ps(ocy, dy)), _mm512_mul_ps(ocz, dz));
        const __m512 b = _mm512_castsi512_ps(_mm512_xor_epi32(_mm512_castps_si512(ocd), signBit));
        const __m512 ococ =
            _mm512_add_ps(_mm512_add_ps(_mm512_mul_ps(ocx, ocx), _mm512_mul_ps(ocy, ocy)),
                          _mm512_mul_ps(ocz, ocz));
        const __m512 D =
            _mm512_add_ps(_mm512_sub_ps(_mm512_mul_ps(b, b), ococ), _mm512_mul_ps(r, r));
        const __m512 s = _mm512_sqrt_ps(D);
        const __m512 tn = _mm512_sub_ps(b, s);
        const __m512 tf = _mm512_add_ps(b, s);
        const __m512 candidate =
            _mm512_mask_blend_ps(_mm512_cmp_ps_mask(tn, zero, _CMP_LT_OQ), tn, tf);
        __mmask16 better = _mm512_cmp_ps_mask(D, zero, _CMP_NLE_UQ);
        better = _mm512_mask_cmp_ps_mask(better, tf, zero, _CMP_NLE_UQ);
        better = _mm512_mask_cmp_ps_mask(better, candidate, minDistance, _CMP_NLE_UQ);
        better = _mm512_mask_cmp_ps_mask(better, candidate, best, _CMP_LT_OQ);
        best = _mm512_mask_blend_ps(better, best, candidate);
        bestEntry = _mm512_mask_blend_epi32(better, bestEntry, entry);
        entry = _mm512_add_epi32(entry, step);
    }
    __m512 nearest = _mm512_min_ps(best, _mm512_shuffle_f32x4(best, best, 0x4e));
    nearest = _mm512_min_ps(nearest, _mm512_shuffle_f32x4(nearest, nearest, 0xb1));
    nearest = _mm512_min_ps(nearest, _mm512_shuffle_ps(nearest, nearest, 0x4e));
    nearest = _mm512_min_ps(nearest, _mm512_shuffle_ps(nearest, nearest, 0xb1));
    distance = _mm512_cvtss_f32(nearest);
    if (distance == noHitDistance)
        return noSphereHit;
    alignas(64) uint32_t entryOf[16];
    _mm512_store_si512(entryOf, bestEntry);
    return lowestEntry(_mm512_cmp_ps_mask(best, nearest, _CMP_EQ_OQ), entryOf);
}
#pragma GCC diagnostic pop

bool supports(SphereKernel kernel) {
    __builtin_cpu_init();
    switch (kernel) {
    case SphereKernel::Avx512:
        return __builtin_cpu_supports("avx512f");
    case SphereKernel::Avx2:
        return __builtin_cpu_supports("avx2");
    default:
        return true;
    }
}

Kernel kernelFor(SphereKernel kernel) {
    switch (kernel) {
    case SphereKernel::Avx512:
        return nearestAvx512;
    case SphereKernel::Avx2:
        return nearestAvx2;
    default:
        return nearestScalar;
    }
}

#else

bool supports(SphereKernel kernel) {
    return kernel == SphereKernel::Scalar;
}

Kernel kernelFor(SphereKernel) {
    return nearestScalar;
}

#endif

Kernel activeKernel = kernelFor(bestSphereKernel());

} // namespace

uint32_t nearestSphere(const SphereGroup* groups, uint32_t count, const Ray& ray, float& distance) {
    return activeKernel(groups, count, ray, distance);
}

void recordSphereHit(const SphereGroup* groups, uint32_t entry, const Ray& ray, float distance,
                     HitRecord& record) {
    const SphereGroup& group = groups[entry / sphereGroupLanes];
    const uint32_t lane = entry % sphereGroupLanes;
    const Vector3 centre{group.x[lane], group.y[lane], group.z[lane]};
    // An accepted far root never lies below b, the roots' midpoint, and an
    // accepted near root never above it; so this tells the side without the
    // square root of the full test.
    const bool inside = distance > -dot(ray.origin - centre, ray.direction);
    record.normal = sphereNormal(ray.origin, ray.direction, centre, distance, inside);
    record.distance = distance;
    record.material = group.sphere[lane]->material;
}

SphereKernel bestSphereKernel() {
    // AVX2 before AVX-512: the narrower kernel tests less padding in the
    // small leaves that rays mostly reach, and it came out ahead on the orbit.
    if (supports(SphereKernel::Avx2))
        return SphereKernel::Avx2;
    if (supports(SphereKernel::Avx512))
        return SphereKernel::Avx512;
    return SphereKernel::Scalar;
}

bool selectSphereKernel(SphereKernel kernel) {
    if (!supports(kernel))
        return false;
    activeKernel = kernelFor(kernel);
    return true;
}

} // namespace vantrel
