// Affine maps of three rows of four, in double precision, for instances:
// a point p goes to M * (p, 1), a direction d to the left three columns
// times d.
#pragma once

#include <algorithm>
#include <cmath>

#include "vantrel/scene/records.h"

namespace vantrel {

struct Double3 {
    double x;
    double y;
    double z;
};

inline Double3 mapPoint(const double* m, const Double3& p) {
    return {m[0] * p.x + m[1] * p.y + m[2] * p.z + m[3],
            m[4] * p.x + m[5] * p.y + m[6] * p.z + m[7],
            m[8] * p.x + m[9] * p.y + m[10] * p.z + m[11]};
}

inline Double3 mapDirection(const double* m, const Double3& d) {
    return {m[0] * d.x + m[1] * d.y + m[2] * d.z, m[4] * d.x + m[5] * d.y + m[6] * d.z,
            m[8] * d.x + m[9] * d.y + m[10] * d.z};
}

// The transpose of the left three columns times n: with the inverse's, a
// normal of the instanced geometry taken to the scene's space.
inline Double3 mapNormal(const double* inverse, const Double3& n) {
    return {inverse[0] * n.x + inverse[4] * n.y + inverse[8] * n.z,
            inverse[1] * n.x + inverse[5] * n.y + inverse[9] * n.z,
            inverse[2] * n.x + inverse[6] * n.y + inverse[10] * n.z};
}

inline double determinant(const double* m) {
    return m[0] * (m[5] * m[10] - m[6] * m[9]) - m[1] * (m[4] * m[10] - m[6] * m[8]) +
           m[2] * (m[4] * m[9] - m[5] * m[8]);
}

// The inverse of m; false where its left three columns are singular, or so
// near it that the inverse's numbers are not finite.
inline bool invertAffine(const double* m, double* inverse) {
    const double det = determinant(m);
    if (!(std::fabs(det) > 0.0) || !std::isfinite(det))
        return false;
    const double r = 1.0 / det;
    double* a = inverse;
    a[0] = (m[5] * m[10] - m[6] * m[9]) * r;
    a[1] = (m[2] * m[9] - m[1] * m[10]) * r;
    a[2] = (m[1] * m[6] - m[2] * m[5]) * r;
    a[4] = (m[6] * m[8] - m[4] * m[10]) * r;
    a[5] = (m[0] * m[10] - m[2] * m[8]) * r;
    a[6] = (m[2] * m[4] - m[0] * m[6]) * r;
    a[8] = (m[4] * m[9] - m[5] * m[8]) * r;
    a[9] = (m[1] * m[8] - m[0] * m[9]) * r;
    a[10] = (m[0] * m[5] - m[1] * m[4]) * r;
    const Double3 t = mapDirection(inverse, {m[3], m[7], m[11]});
    a[3] = -t.x;
    a[7] = -t.y;
    a[11] = -t.z;
    for (int k = 0; k < 12; ++k)
        if (!std::isfinite(a[k]))
            return false;
    return true;
}

// The least factor by which m's left three columns stretch a length (the
// least singular value), from the least eigenvalue of their Gram matrix,
// a little under: a bound for distances, never above the true one.
inline double leastStretchOf(const double* m) {
    double g[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            g[i][j] = m[i] * m[j] + m[4 + i] * m[4 + j] + m[8 + i] * m[8 + j];
    // The symmetric 3 by 3 eigenvalues by the trigonometric solution.
    const double q = (g[0][0] + g[1][1] + g[2][2]) / 3.0;
    const double off = g[0][1] * g[0][1] + g[0][2] * g[0][2] + g[1][2] * g[1][2];
    const double d0 = g[0][0] - q;
    const double d1 = g[1][1] - q;
    const double d2 = g[2][2] - q;
    const double p = std::sqrt((d0 * d0 + d1 * d1 + d2 * d2 + 2.0 * off) / 6.0);
    double least = q;
    if (p > 0.0) {
        const double b[3][3] = {{d0 / p, g[0][1] / p, g[0][2] / p},
                                {g[1][0] / p, d1 / p, g[1][2] / p},
                                {g[2][0] / p, g[2][1] / p, d2 / p}};
        const double det = b[0][0] * (b[1][1] * b[2][2] - b[1][2] * b[2][1]) -
                           b[0][1] * (b[1][0] * b[2][2] - b[1][2] * b[2][0]) +
                           b[0][2] * (b[1][0] * b[2][1] - b[1][1] * b[2][0]);
        const double angle = std::acos(std::clamp(det / 2.0, -1.0, 1.0)) / 3.0;
        least = q + 2.0 * p * std::cos(angle + 2.0 * M_PI / 3.0);
    }
    // The solution's rounding, a few parts in 10^12 of the largest
    // eigenvalue, taken off.
    const double largest = 3.0 * q;
    return std::sqrt(std::max(0.0, least - 1e-9 * largest));
}

// Whether m keeps shapes, as a rotation, a mirror and one scale for every
// axis do, to a few parts in a million: what a sphere needs to stay one.
inline bool keepsShapes(const double* m) {
    double g[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            g[i][j] = m[i] * m[j] + m[4 + i] * m[4 + j] + m[8 + i] * m[8 + j];
    const double scale = (g[0][0] + g[1][1] + g[2][2]) / 3.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (std::fabs(g[i][j] - (i == j ? scale : 0.0)) > 4e-6 * scale)
                return false;
    return true;
}

} // namespace vantrel
