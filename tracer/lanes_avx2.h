// Eight float lanes in AVX2's instructions. The files built for AVX2 use them
// as avx2::Floats; the file built for AVX-512 uses them as
// avx512::EightFloats for the queries' walk of eight-box nodes, where its
// 32 registers keep the ray's part in the box tests out of memory.
// Built names the instruction set of the file that includes this one, so
// that the two builds are two types: the linker never takes one build's
// compiled function for the other's. The operations are friends, found
// through their operands, so that a float still converts to the lanes.
#pragma once

#include <immintrin.h>

#include <cstdint>

namespace vantrel::avx2 {

template <class Built> struct EightMask {
    __m256 v; // all bits set in a lane that holds
    // Lane i holds where bit i is set.
    static EightMask ofBits(uint32_t lanes) {
        const __m256i each = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i set = _mm256_and_si256(_mm256_set1_epi32(static_cast<int>(lanes)), each);
        return {_mm256_castsi256_ps(_mm256_cmpeq_epi32(set, each))};
    }

    friend EightMask operator&(EightMask a, EightMask b) { return {_mm256_and_ps(a.v, b.v)}; }
    friend EightMask operator|(EightMask a, EightMask b) { return {_mm256_or_ps(a.v, b.v)}; }
    friend EightMask operator!(EightMask a) {
        return {_mm256_xor_ps(a.v, _mm256_castsi256_ps(_mm256_set1_epi32(-1)))};
    }
    // b where a is clear.
    friend EightMask andNot(EightMask a, EightMask b) { return {_mm256_andnot_ps(a.v, b.v)}; }
    // Bit i set where lane i holds.
    friend uint32_t bits(EightMask a) { return static_cast<uint32_t>(_mm256_movemask_ps(a.v)); }
};

template <class Built> struct EightInts {
    __m256i v;
    EightInts() = default;
    EightInts(uint32_t value) : v(_mm256_set1_epi32(static_cast<int>(value))) {}
    explicit EightInts(__m256i value) : v(value) {}
    static EightInts iota() { return EightInts(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)); }
    // 0 to 7 in each eight lanes: iota.
    static EightInts iotaInEachEight() { return iota(); }
    void store(uint32_t* p) const { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }

    friend EightInts select(EightMask<Built> m, EightInts a, EightInts b) {
        return EightInts(_mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(b.v), _mm256_castsi256_ps(a.v), m.v)));
    }
    friend EightInts operator+(EightInts a, EightInts b) {
        return EightInts(_mm256_add_epi32(a.v, b.v));
    }
    // The smallest lane of each eight lanes in all of them; unsigned.
    friend EightInts minInEachEight(EightInts a) {
        __m256i m = _mm256_min_epu32(a.v, _mm256_permute2x128_si256(a.v, a.v, 1));
        m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, 0x4e));
        return EightInts(_mm256_min_epu32(m, _mm256_shuffle_epi32(m, 0xb1)));
    }
    // Unsigned.
    friend uint32_t minLane(EightInts a) {
        __m256i m = _mm256_min_epu32(a.v, _mm256_permute2x128_si256(a.v, a.v, 1));
        m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, 0x4e));
        m = _mm256_min_epu32(m, _mm256_shuffle_epi32(m, 0xb1));
        return static_cast<uint32_t>(_mm256_cvtsi256_si32(m));
    }
};

template <class Built> struct EightFloats {
    static constexpr uint32_t width = 8;
    using Mask = EightMask<Built>;
    using Ints = EightInts<Built>;
    using RowLanes = EightFloats; // a group's row of eight

    __m256 v;
    EightFloats() = default;
    EightFloats(float value) : v(_mm256_set1_ps(value)) {}
    explicit EightFloats(__m256 value) : v(value) {}
    // From 32-byte aligned memory.
    static EightFloats load(const float* p) { return EightFloats(_mm256_load_ps(p)); }
    // From memory of any alignment.
    static EightFloats loadUnaligned(const float* p) { return EightFloats(_mm256_loadu_ps(p)); }
    // The eight floats at p, 32-byte aligned, in each eight lanes: a load.
    static EightFloats loadInEachEight(const float* p) { return load(p); }
    // values[0] in every lane: the first of one value per eight lanes.
    static EightFloats ofEachEight(const float* values) { return EightFloats(values[0]); }
    void store(float* p) const { _mm256_store_ps(p, v); }

    using F = EightFloats;
    friend F operator+(F a, F b) { return F(_mm256_add_ps(a.v, b.v)); }
    friend F operator-(F a, F b) { return F(_mm256_sub_ps(a.v, b.v)); }
    friend F operator*(F a, F b) { return F(_mm256_mul_ps(a.v, b.v)); }
    friend F operator/(F a, F b) { return F(_mm256_div_ps(a.v, b.v)); }
    // The sign flipped, as a float negation does, NaN included.
    friend F operator-(F a) { return F(_mm256_xor_ps(a.v, _mm256_set1_ps(-0.0f))); }
    friend F sqrt(F a) { return F(_mm256_sqrt_ps(a.v)); }
    // The sign cleared; NaN stays NaN.
    friend F abs(F a) { return F(_mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v)); }

    // Comparisons are ordered: false where either side is NaN.
    friend Mask operator<(F a, F b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)}; }
    friend Mask operator<=(F a, F b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)}; }
    friend Mask operator>(F a, F b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
    friend Mask operator>=(F a, F b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)}; }
    friend Mask operator==(F a, F b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)}; }
    // The lanes of m where a comparison holds (see the scalar lanes).
    friend Mask lessWhere(Mask m, F a, F b) { return m & (a < b); }
    friend Mask atLeastWhere(Mask m, F a, F b) { return m & (a >= b); }
    friend Mask notBelowWhere(Mask m, F a, F b) {
        return {_mm256_and_ps(m.v, _mm256_cmp_ps(a.v, b.v, _CMP_NLT_UQ))};
    }
    friend Mask notAboveWhere(Mask m, F a, F b) {
        return {_mm256_and_ps(m.v, _mm256_cmp_ps(a.v, b.v, _CMP_NGT_UQ))};
    }

    // a where m holds, else b.
    friend F select(Mask m, F a, F b) { return F(_mm256_blendv_ps(b.v, a.v, m.v)); }
    // a * b + c rounded once (see the scalar lanes).
    friend F mulAdd(F a, F b, F c) { return F(_mm256_fmadd_ps(a.v, b.v, c.v)); }
    // a > b ? a : b and a < b ? a : b: b where a is NaN.
    friend F max(F a, F b) { return F(_mm256_max_ps(a.v, b.v)); }
    friend F min(F a, F b) { return F(_mm256_min_ps(a.v, b.v)); }
    // The larger and smaller by the floats' bits as signed integers, and
    // a > b so, in a cycle rather than four: the floats' order among floats
    // not below zero, the reverse among negative ones. For lanes without NaN.
    friend F maxOfBits(F a, F b) {
        return F(_mm256_castsi256_ps(
            _mm256_max_epi32(_mm256_castps_si256(a.v), _mm256_castps_si256(b.v))));
    }
    friend Mask aboveOfBits(F a, F b) {
        return {_mm256_castsi256_ps(
            _mm256_cmpgt_epi32(_mm256_castps_si256(a.v), _mm256_castps_si256(b.v)))};
    }
    friend F minOfBits(F a, F b) {
        return F(_mm256_castsi256_ps(
            _mm256_min_epi32(_mm256_castps_si256(a.v), _mm256_castps_si256(b.v))));
    }
    // The smallest lane of each eight lanes in all of them; for lanes
    // without NaN.
    friend F minInEachEight(F a) {
        __m256 m = _mm256_min_ps(a.v, _mm256_permute2f128_ps(a.v, a.v, 1));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, 0x4e));
        return F(_mm256_min_ps(m, _mm256_shuffle_ps(m, m, 0xb1)));
    }
    // For lanes without NaN.
    friend float minLane(F a) {
        __m256 m = _mm256_min_ps(a.v, _mm256_permute2f128_ps(a.v, a.v, 1));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, 0x4e));
        m = _mm256_min_ps(m, _mm256_shuffle_ps(m, m, 0xb1));
        return _mm256_cvtss_f32(m);
    }
};

// The files built for AVX2.
struct Avx2Build;
using Floats = EightFloats<Avx2Build>;

} // namespace vantrel::avx2
