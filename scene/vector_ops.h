// Float vector arithmetic, evaluated exactly in the order written, so that
// code using these helpers computes the same bits as the expanded formulas.
#pragma once

#include <cmath>

#include "vantrel/scene/records.h"

namespace vantrel {

inline Vector3 operator+(const Vector3& a, const Vector3& b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}

inline Vector3 operator-(const Vector3& a, const Vector3& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

inline Vector3 operator*(const Vector3& a, float s) {
    return {a.x * s, a.y * s, a.z * s};
}

inline float dot(const Vector3& a, const Vector3& b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

inline Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Reads component k (0 x, 1 y, 2 z).
inline bool isFinite(const Vector3& v) {
    return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

inline float component(const Vector3& v, int k) {
    return k == 0 ? v.x : (k == 1 ? v.y : v.z);
}

} // namespace vantrel
