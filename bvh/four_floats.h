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

#else

struct Four {
    float v[4];
};
inline Four load(const float* p) {
    return {{p[0], p[1], p[2], p[3]}};
}
inline void store(float* p, Four a) {
    for (int k = 0; k < 4; ++k)
        p[k] = a.v[k];
}
inline Four splat(float x) {
    return {{x, x, x, x}};
}
inline Four xyz(const float* p) {
    return {{p[0], p[1], p[2], 0.0f}};
}
template <class Op> Four eachLane(Four a, Four b, Op op) {
    return {{op(a.v[0], b.v[0]), op(a.v[1], b.v[1]), op(a.v[2], b.v[2]), op(a.v[3], b.v[3])}};
}
inline Four operator+(Four a, Four b) {
    return eachLane(a, b, [](float x, float y) { return x + y; });
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

#endif

} // namespace vantrel::bvh_lanes
