// Eight float lanes with AVX2. Included only by the files built for AVX2.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace vantrel::avx2 {

struct Mask {
    __m256 v; // all bits set in a lane that holds
    // Lane i holds where bit i is set.
    static Mask ofBits(uint32_t lanes) {
        const __m256i each = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i set = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(lanes)), each);
        return {_mm256_castsi256_ps(_mm256_cmpeq_epi32(set, each))};
    }
};

struct Ints {
    __m256i v;
    Ints() = default;
    Ints(uint32_t value) : v(_mm256_set1_epi32(static_cast<int>(value))) {}
    explicit Ints(__m256i value) : v(value) {}
    static Ints iota() { return Ints(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)); }
    void store(uint32_t* p) const { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
};

struct Floats {
    static constexpr uint32_t width = 8;
    using Mask = avx2::Mask;
    using Ints = avx2::Ints;

    __m256 v;
    Floats() = default;
    Floats(float value) : v(_mm256_set1_ps(value)) {}
    explicit Floats(__m256 value) : v(value) {}
    // From 32-byte aligned memory.
    static Floats load(const float* p) { return Floats(_mm256_load_ps(p)); }
    void store(float* p) const { _mm256_store_ps(p, v); }
};

inline Floats operator+(Floats a, Floats b) {
    return Floats(_mm256_add_ps(a.v, b.v));
}
inline Floats operator-(Floats a, Floats b) {
    return Floats(_mm256_sub_ps(a.v, b.v));
}
inline Floats operator*(Floats a, Floats b) {
    return Floats(_mm256_mul_ps(a.v, b.v));
}
inline Floats operator/(Floats a, Floats b) {
    return Floats(_mm256_div_ps(a.v, b.v));
}
// The sign flipped, as a float negation does, NaN included.
inline Floats operator-(Floats a) {
    return Floats(_mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f)));
}
inline Floats sqrt(Floats a) {
    return Floats(_mm256_sqrt_ps(a.v));
}

// Comparisons are ordered: false where either side is NaN.
inline Mask operator<(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)};
}
inline Mask operator<=(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)};
}
inline Mask operator>(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)};
}
inline Mask operator>=(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)};
}
inline Mask operator==(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)};
}

inline Mask operator&(Mask a, Mask b) {
    return {_mm256_and_ps(a.v, b.v)};
}
inline Mask operator|(Mask a, Mask b) {
    return {_mm256_or_ps(a.v, b.v)};
}
inline Mask operator!(Mask a) {
    return {_mm256_xor_ps(a.v, _mm256_castsi256_ps(_mm256_set1_epi32(-1)))};
}
// b where a is clear.
inline Mask andNot(Mask a, Mask b) {
    return {_mm256_andnot_ps(a.v, b.v)};
}
// Bit i set where lane i holds.
inline uint32_t bits(Mask a) {
    return static_cast<uint32_t>(_mm256_movemask_ps(a.v));
}

// a where m holds, else b.
inline Floats select(Mask m, Floats a, Floats b) {
    return Floats(_mm256_blendv_ps(b.v, a.v, m.v));
}
inline Ints select(Mask m, Ints a, Ints b) {
    return Ints(_mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(b.v), _mm256_castsi256_ps(a.v), m.v)));
}
inline Ints operator+(Ints a, Ints b) {
    return Ints(_mm256_add_epi32(a.v, b.v));
}

// a * b + c rounded once (see the scalar lanes).
inline Floats mulAdd(Floats a, Floats b, Floats c) {
    return Floats(_mm256_fmadd_ps(a.v, b.v, c.v));
}

// a > b ? a : b and a < b ? a : b: b where a is NaN.
inline Floats max(Floats a, Floats b) {
    return Floats(_mm256_max_ps(a.v, b.v));
}
inline Floats min(Floats a, Floats b) {
    return Floats(_mm256_min_ps(a.v, b.v));
}

// For lanes without NaN.
inline float minLane(Floats a) {
    __m256 m = _mm256_min_ps(a.v, _mm256_permute2f128_ps(a.v, a.v, 1));
    m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, 0x4e));
    m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, 0xb1));
    return _mm256_cvtss_f32(m);
}
// Unsigned.
inline uint32_t minLane(Ints a) {
    __m256i m = _mm256_min_epu32(a.v, _mm256_permute2x128_si256(a.v, a.v, 1));
    m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, 0x4e));
    m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, 0xb1));
    return static_cast<uint32_t>(_mm256_cvtsi256_si32(m));
}

} // namespace vantrel::avx2
