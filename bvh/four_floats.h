// Four floats in one register where the processor has SSE (every x86-64
// one), a loop over four elsewhere: a box's corner and three centres at
// once. Only exact operations and the ones the build rounds anyway (add,
// subtract, multiply, minimum, maximum), so both forms make the same
// hierarchy.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace vantrel::bvh_lanes {

#if defined(__SSE2__)

struct Four {
    __m128 v;
};
inline Four load(const float* p) {
    return {_mm_loadu_ps(p)};
}
inline void store(float* p, Four a) {
    _mm_storeu_ps(p, a.v);
}
inline Four splat(float x) {
    return {_mm_set1_ps(x)};
}
// x, y, z and 0.
inline Four xyz(const float* p) {
    return {_mm_and_ps(_mm_loadu_ps(p), _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0)))};
}
inline Four operator+(Four a, Four b) {
    return {_mm_add_ps(a.v, b.v)};
}
inline Four operator-(Four a, Four b) {
    return {_mm_sub_ps(a.v, b.v)};
}
inline Four operator*(Four a, Four b) {
    return {_mm_mul_ps(a.v, b.v)};
}
// a < b ? a : b and a > b ? a : b, lane by lane: b where a is NaN.
inline Four min(Four a, Four b) {
    return {_mm_min_ps(a.v, b.v)};
}
inline Four max(Four a, Four b) {
    return {_mm_max_ps(a.v, b.v)};
}
// Each lane truncated to an integer; lanes already in range.
inline void truncate(Four a, int32_t* out) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_cvttps_epi32(a.v));
}
// Lanes 0-2 of a, b and c turned about: lane k of a becomes lane 0 of the
// k-th, b's lane 1, c's lane 2; lane 3 of each comes out 0.
inline void transpose3(Four& a, Four& b, Four& c) {
    const __m128 zero = _mm_setzero_ps();
    const __m128 ab01 = _mm_unpacklo_ps(a.v, b.v);
    const __m128 c01 = _mm_unpacklo_ps(c.v, zero);
    const __m128 ab23 = _mm_unpackhi_ps(a.v, b.v);
    const __m128 c23 = _mm_unpackhi_ps(c.v, zero);
    a.v = _mm_movelh_ps(ab01, c01);
    b.v = _mm_movehl_ps(c01, ab01);
    c.v = _mm_movelh_ps(ab23, c23);
}

// Four counts below 2^31.
struct FourCounts {
    __m128i v;
};
inline FourCounts loadCounts(const uint32_t* p) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
}
inline void store(uint32_t* p, FourCounts a) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a.v);
}
inline FourCounts operator+(FourCounts a, FourCounts b) {
    return {_mm_add_epi32(a.v, b.v)};
}
// (count + 7) / 8 in each lane, as a float.
inline Four eighthsRoundedUp(FourCounts a) {
    return {_mm_cvtepi32_ps(_mm_srli_epi32(_mm_add_epi32(a.v, _mm_set1_epi32(7)), 3))};
}

#else

template <class T> struct FourLanes { T v[4]; };
using Four = FourLanes<float>;
using FourCounts = FourLanes<uint32_t>;

template <class T> FourLanes<T> loadLanes(const T* p) {
    return {{p[0], p[1], p[2], p[3]}};
}
inline Four load(const float* p) {
    return loadLanes(p);
}
inline FourCounts loadCounts(const uint32_t* p) {
    return loadLanes(p);
}
template <class T> void store(T* p, FourLanes<T> a) {
    for (int k = 0; k < 4; ++k)
        p[k] = a.v[k];
}
inline Four splat(float x) {
    return {{x, x, x, x}};
}
inline Four xyz(const float* p) {
    return {{p[0], p[1], p[2], 0.0f}};
}
template <class T, class Op> FourLanes<T> eachLane(FourLanes<T> a, FourLanes<T> b, Op op) {
    return {{op(a.v[0], b.v[0]), op(a.v[1], b.v[1]), op(a.v[2], b.v[2]), op(a.v[3], b.v[3])}};
}
template <class T> FourLanes<T> operator+(FourLanes<T> a, FourLanes<T> b) {
    return eachLane(a, b, [](T x, T y) { return x + y; });
}
inline Four operator-(Four a, Four b) {
    return eachLane(a, b, [](float x, float y) { return x - y; });
}
inline Four operator*(Four a, Four b) {
    return eachLane(a, b, [](float x, float y) { return x * y; });
}
inline Four min(Four a, Four b) {
    return eachLane(a, b, [](float x, float y) { return x < y ? x : y; });
}
inline Four max(Four a, Four b) {
    return eachLane(a, b, [](float x, float y) { return x > y ? x : y; });
}
inline void truncate(Four a, int32_t* out) {
    for (int k = 0; k < 4; ++k)
        out[k] = static_cast<int32_t>(a.v[k]);
}
inline void transpose3(Four& a, Four& b, Four& c) {
    const Four rows[3] = {a, b, c};
    Four* out[3] = {&a, &b, &c};
    for (int k = 0; k < 3; ++k)
        *out[k] = {{rows[0].v[k], rows[1].v[k], rows[2].v[k], 0.0f}};
}
inline Four eighthsRoundedUp(FourCounts a) {
    Four out;
    for (int k = 0; k < 4; ++k)
        out.v[k] = static_cast<float>((a.v[k] + 7) / 8);
    return out;
}

#endif

} // namespace vantrel::bvh_lanes
