// Sixteen float lanes with AVX-512 (the F subset). Included only by the
// files built for AVX-512.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "vantrel/tracer/lanes_avx2.h"

namespace vantrel::avx512 {

// Eight lanes in AVX2's instructions, built with AVX-512's 32 registers: the
// queries' walk of a node's eight boxes (kernel.cpp), and a group's rows.
struct Avx512Build;
using EightFloats = avx2::EightFloats<Avx512Build>;

struct Mask {
    __mmask16 v; // bit i set where lane i holds
    static Mask ofBits(uint32_t lanes) { return {static_cast<__mmask16>(lanes)}; }
};

struct Ints {
    __m512i v;
    Ints() = default;
    Ints(uint32_t value) : v(_mm512_set1_epi32(static_cast<int>(value))) {}
    explicit Ints(__m512i value) : v(value) {}
    static Ints iota() {
        return Ints(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    }
    // 0 to 7 in each eight lanes.
    static Ints iotaInEachEight() {
        return Ints(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7));
    }
    void store(uint32_t* p) const { _mm512_storeu_si512(p, v); }
};

struct Floats {
    static constexpr uint32_t width = 16;
    using Mask = avx512::Mask;
    using Ints = avx512::Ints;
    using RowLanes = EightFloats; // a group's row of eight

    __m512 v;
    Floats() = default;
    Floats(float value) : v(_mm512_set1_ps(value)) {}
    explicit Floats(__m512 value) : v(value) {}
    // From 64-byte aligned memory.
    static Floats load(const float* p) { return Floats(_mm512_load_ps(p)); }
    // Eight lanes from each of two 32-byte aligned rows, low ones first.
    static Floats loadPair(const float* low, const float* high) {
        return Floats(_mm512_castpd_ps(_mm512_insertf64x4(
            _mm512_castpd256_pd512(_mm256_load_pd(reinterpret_cast<const double*>(low))),
            _mm256_load_pd(reinterpret_cast<const double*>(high)), 1)));
    }
    // The eight floats at p, 32-byte aligned, in each eight lanes: one load
    // that puts them in both halves, with no shuffle.
    static Floats loadInEachEight(const float* p) {
        return Floats(_mm512_castpd_ps(
            _mm512_broadcast_f64x4(_mm256_load_pd(reinterpret_cast<const double*>(p)))));
    }
    // values[0] in the lower eight lanes, values[1] in the upper.
    static Floats ofEachEight(const float* values) {
        return Floats(
            _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castps_pd(_mm512_set1_ps(values[0])),
                                                _mm256_castps_pd(_mm256_set1_ps(values[1])), 1)));
    }
    void store(float* p) const { _mm512_store_ps(p, v); }
};

inline Floats operator+(Floats a, Floats b) {
    return Floats(_mm512_add_ps(a.v, b.v));
}
inline Floats operator-(Floats a, Floats b) {
    return Floats(_mm512_sub_ps(a.v, b.v));
}
inline Floats operator*(Floats a, Floats b) {
    return Floats(_mm512_mul_ps(a.v, b.v));
}
inline Floats operator/(Floats a, Floats b) {
    return Floats(_mm512_div_ps(a.v, b.v));
}
// The sign flipped, as a float negation does, NaN included.
inline Floats operator-(Floats a) {
    const __m512i sign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    return Floats(_mm512_castsi512_ps(_mm512_xor_epi32(_mm512_castps_si512(a.v), sign)));
}
inline Floats sqrt(Floats a) {
    return Floats(_mm512_sqrt_ps(a.v));
}
// The sign cleared; NaN stays NaN.
inline Floats abs(Floats a) {
    return Floats(_mm512_abs_ps(a.v));
}

// Comparisons are ordered: false where either side is NaN.
inline Mask operator<(Floats a, Floats b) {
    return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LT_OQ)};
}
inline Mask operator<=(Floats a, Floats b) {
    return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LE_OQ)};
}
inline Mask operator>(Floats a, Floats b) {
    return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GT_OQ)};
}
inline Mask operator>=(Floats a, Floats b) {
    return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ)};
}
inline Mask operator==(Floats a, Floats b) {
    return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_EQ_OQ)};
}

// The lanes of m where a comparison holds, in one masked compare (see the
// scalar lanes).
inline Mask lessWhere(Mask m, Floats a, Floats b) {
    return {_mm512_mask_cmp_ps_mask(m.v, a.v, b.v, _CMP_LT_OQ)};
}
inline Mask atLeastWhere(Mask m, Floats a, Floats b) {
    return {_mm512_mask_cmp_ps_mask(m.v, a.v, b.v, _CMP_GE_OQ)};
}
inline Mask notBelowWhere(Mask m, Floats a, Floats b) {
    return {_mm512_mask_cmp_ps_mask(m.v, a.v, b.v, _CMP_NLT_UQ)};
}
inline Mask notAboveWhere(Mask m, Floats a, Floats b) {
    return {_mm512_mask_cmp_ps_mask(m.v, a.v, b.v, _CMP_NGT_UQ)};
}

inline Mask operator&(Mask a, Mask b) {
    return {static_cast<__mmask16>(a.v & b.v)};
}
inline Mask operator|(Mask a, Mask b) {
    return {static_cast<__mmask16>(a.v | b.v)};
}
inline Mask operator!(Mask a) {
    return {static_cast<__mmask16>(~a.v)};
}
// b where a is clear.
inline Mask andNot(Mask a, Mask b) {
    return {static_cast<__mmask16>(~a.v & b.v)};
}
inline uint32_t bits(Mask a) {
    return a.v;
}

// a where m holds, else b.
inline Floats select(Mask m, Floats a, Floats b) {
    return Floats(_mm512_mask_blend_ps(m.v, b.v, a.v));
}
inline Ints select(Mask m, Ints a, Ints b) {
    return Ints(_mm512_mask_blend_epi32(m.v, b.v, a.v));
}
inline Ints operator+(Ints a, Ints b) {
    return Ints(_mm512_add_epi32(a.v, b.v));
}

// a * b + c rounded once (see the scalar lanes).
inline Floats mulAdd(Floats a, Floats b, Floats c) {
    return Floats(_mm512_fmadd_ps(a.v, b.v, c.v));
}

// a > b ? a : b and a < b ? a : b: b where a is NaN.
inline Floats max(Floats a, Floats b) {
    return Floats(_mm512_max_ps(a.v, b.v));
}
inline Floats min(Floats a, Floats b) {
    return Floats(_mm512_min_ps(a.v, b.v));
}

// The smallest lane of each eight lanes in all of them; for lanes without
// NaN.
inline Floats minInEachEight(Floats a) {
    __m512 m = _mm512_min_ps(a.v, _mm512_shuffle_f32x4(a.v, a.v, 0xb1));
    m = _mm512_min_ps(m, _mm512_permute_ps(m, 0x4e));
    return Floats(_mm512_min_ps(m, _mm512_permute_ps(m, 0xb1)));
}
// Unsigned.
inline Ints minInEachEight(Ints a) {
    __m512i m = _mm512_min_epu32(a.v, _mm512_shuffle_i32x4(a.v, a.v, 0xb1));
    m = _mm512_min_epu32(m, _mm512_shuffle_epi32(m, _MM_PERM_BADC));
    return Ints(_mm512_min_epu32(m, _mm512_shuffle_epi32(m, _MM_PERM_CDAB)));
}

// For lanes without NaN.
inline float minLane(Floats a) {
    return _mm512_reduce_min_ps(a.v);
}
// Unsigned.
inline uint32_t minLane(Ints a) {
    return _mm512_reduce_min_epu32(a.v);
}

} // namespace vantrel::avx512
