// One lane: the lane type of the scalar paths, so that the arithmetic the
// vector kernels share is written once and the scalar tests run it too.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace vantrel::scalar {

struct Mask {
    bool v;
    // Lane 0 holds when bit 0 is set.
    static Mask ofBits(uint32_t lanes) { return {(lanes & 1u) != 0}; }
};

struct Ints {
    uint32_t v;
    Ints() = default;
    Ints(uint32_t value) : v(value) {}
    static Ints iota() { return 0u; }
    void store(uint32_t* p) const { *p = v; }
};

struct Floats {
    static constexpr uint32_t width = 1;
    using Mask = scalar::Mask;
    using Ints = scalar::Ints;

    float v;
    Floats() = default;
    Floats(float value) : v(value) {}
    static Floats load(const float* p) { return *p; }
    static Floats loadUnaligned(const float* p) { return *p; }
    void store(float* p) const { *p = v; }
};

inline Floats operator+(Floats a, Floats b) {
    return a.v + b.v;
}
inline Floats operator-(Floats a, Floats b) {
    return a.v - b.v;
}
inline Floats operator*(Floats a, Floats b) {
    return a.v * b.v;
}
inline Floats operator/(Floats a, Floats b) {
    return a.v / b.v;
}
inline Floats operator-(Floats a) {
    return -a.v;
}
// The sign cleared; NaN stays NaN.
inline Floats abs(Floats a) {
    return std::fabs(a.v);
}
inline Floats sqrt(Floats a) {
    return std::sqrt(a.v);
}

// Comparisons are ordered: false where either side is NaN.
inline Mask operator<(Floats a, Floats b) {
    return {a.v < b.v};
}
inline Mask operator<=(Floats a, Floats b) {
    return {a.v <= b.v};
}
inline Mask operator>(Floats a, Floats b) {
    return {a.v > b.v};
}
inline Mask operator>=(Floats a, Floats b) {
    return {a.v >= b.v};
}
inline Mask operator==(Floats a, Floats b) {
    return {a.v == b.v};
}

// The lanes of m where a comparison holds: one instruction where masks are
// registers of their own. Below and above are not less and not greater, so
// they hold where either side is NaN.
inline Mask lessWhere(Mask m, Floats a, Floats b) {
    return {m.v && a.v < b.v};
}
inline Mask atLeastWhere(Mask m, Floats a, Floats b) {
    return {m.v && a.v >= b.v};
}
inline Mask notBelowWhere(Mask m, Floats a, Floats b) {
    return {m.v && !(a.v < b.v)};
}
inline Mask notAboveWhere(Mask m, Floats a, Floats b) {
    return {m.v && !(a.v > b.v)};
}

inline Mask operator&(Mask a, Mask b) {
    return {a.v && b.v};
}
inline Mask operator|(Mask a, Mask b) {
    return {a.v || b.v};
}
inline Mask operator!(Mask a) {
    return {!a.v};
}
// b where a is clear.
inline Mask andNot(Mask a, Mask b) {
    return {!a.v && b.v};
}
inline uint32_t bits(Mask a) {
    return a.v ? 1u : 0u;
}

inline Floats select(Mask m, Floats a, Floats b) {
    return m.v ? a : b;
}
inline Ints select(Mask m, Ints a, Ints b) {
    return m.v ? a : b;
}
inline Ints operator+(Ints a, Ints b) {
    return a.v + b.v;
}

// a * b + c, rounded twice here and once in the vector lanes, which fuse
// it: only for bounds whose slack covers either rounding, never for an
// answer, so that every kernel still answers alike.
inline Floats mulAdd(Floats a, Floats b, Floats c) {
    return a * b + c;
}

// a > b ? a : b and a < b ? a : b, as the vector instructions are: b
// where a is NaN, so that a NaN first operand counts for nothing.
inline Floats max(Floats a, Floats b) {
    return a.v > b.v ? a : b;
}
inline Floats min(Floats a, Floats b) {
    return a.v < b.v ? a : b;
}

// As the vector lanes' maxOfBits, aboveOfBits and minOfBits: by the
// floats' bits as signed integers.
inline int32_t bitsOf(Floats a) {
    int32_t bits;
    std::memcpy(&bits, &a.v, sizeof bits);
    return bits;
}
inline Floats maxOfBits(Floats a, Floats b) {
    return bitsOf(a) > bitsOf(b) ? a : b;
}
inline Mask aboveOfBits(Floats a, Floats b) {
    return {bitsOf(a) > bitsOf(b)};
}
inline Floats minOfBits(Floats a, Floats b) {
    return bitsOf(a) < bitsOf(b) ? a : b;
}

inline float minLane(Floats a) {
    return a.v;
}
inline uint32_t minLane(Ints a) {
    return a.v;
}

} // namespace vantrel::scalar
