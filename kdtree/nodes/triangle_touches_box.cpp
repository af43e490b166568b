// Whether a triangle touches a box, by separating axes: the box's three
// axes, the triangle's normal and the nine cross products of its edges with
// the box's axes. On the ten axes that are not the box's, the projections
// are worked out in double and widened outward by far more than their
// rounding, so that rounding can never part a triangle from a box it
// touches. The box also reaches out by a hair of the triangle's size, except
// below boxMin, for the rounding of the hit test; anything further apart is
// told apart. Every step is monotone in the box's corners, so a test that
// holds for a box holds for any box around it; the cost search's bisection
// relies on that.
#include <cmath>
#include <initializer_list>

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/triangle_box_test.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

// Relative widening of every double product and sum: 2^5 times the rounding
// of one operation.
constexpr double widening = 0x1p-48;

// How far outside a triangle, relative to its largest coordinate, a hit may
// be accepted by rounding: 2^8 float roundings.
constexpr double hitSlack = 0x1p-16;

// The cost search asks this test millions of times: its steps are inlined
// into one body, which the compiler schedules as a whole.

// Just above and just below x, by multiplication alone: monotone in x. The
// factor takes x's sign by bits, not by a branch: signs of products are
// anyone's guess. 1 ± widening is exact, and -0 and NaN come out as they
// would with either factor.
[[gnu::always_inline]] inline double up(double x) {
    return x * (1.0 + std::copysign(widening, x));
}
[[gnu::always_inline]] inline double down(double x) {
    return x * (1.0 - std::copysign(widening, x));
}

struct Span {
    double lo;
    double hi;
};

// Bounds around the exact axis . p.
[[gnu::always_inline]] inline Span project(const double axis[3], const double p[3]) {
    Span s{down(axis[0] * p[0]), up(axis[0] * p[0])};
    for (int k = 1; k < 3; ++k) {
        s.lo = down(s.lo + down(axis[k] * p[k]));
        s.hi = up(s.hi + up(axis[k] * p[k]));
    }
    return s;
}

// Bounds around the box's shadow on the axis: per component the corner
// coordinate that gives the least, or the most.
[[gnu::always_inline]] inline Span projectBox(const double axis[3], const double boxMin[3],
                                              const double boxMax[3]) {
    double least[3];
    double most[3];
    for (int k = 0; k < 3; ++k) {
        const bool rising = axis[k] >= 0.0;
        least[k] = rising ? boxMin[k] : boxMax[k];
        most[k] = rising ? boxMax[k] : boxMin[k];
    }
    return {project(axis, least).lo, project(axis, most).hi};
}

// Whether the triangle's shadow, worked out beforehand, misses the box's.
[[gnu::always_inline]] inline bool separatedOn(const double axis[3], Span shape,
                                               const double boxMin[3], const double boxMax[3]) {
    const Span box = projectBox(axis, boxMin, boxMax);
    return shape.lo > box.hi || shape.hi < box.lo;
}

void setAxis(double axis[3], double x, double y, double z) {
    axis[0] = x;
    axis[1] = y;
    axis[2] = z;
}

// What the triangle alone decides on the ten axes that are not the box's:
// the axes and the triangle's shadows on them.
void prepareAxes(TriangleBoxTest& test) {
    const Triangle& t = *test.triangle;
    const double v[3][3] = {
        {t.V0.x, t.V0.y, t.V0.z}, {t.V1.x, t.V1.y, t.V1.z}, {t.V2.x, t.V2.y, t.V2.z}};
    double edge[3][3];
    for (int k = 0; k < 3; ++k) {
        edge[0][k] = v[1][k] - v[0][k];
        edge[1][k] = v[2][k] - v[1][k];
        edge[2][k] = v[0][k] - v[2][k];
    }
    double(*axis)[3] = test.axis;
    setAxis(axis[0], edge[0][1] * edge[1][2] - edge[0][2] * edge[1][1],
            edge[0][2] * edge[1][0] - edge[0][0] * edge[1][2],
            edge[0][0] * edge[1][1] - edge[0][1] * edge[1][0]);
    for (int i = 0; i < 3; ++i) {
        // e x (1, 0, 0), e x (0, 1, 0), e x (0, 0, 1).
        const double* e = edge[i];
        setAxis(axis[1 + 3 * i], 0.0, e[2], -e[1]);
        setAxis(axis[2 + 3 * i], -e[2], 0.0, e[0]);
        setAxis(axis[3 + 3 * i], e[1], -e[0], 0.0);
    }
    for (int a = 0; a < 10; ++a) {
        Span shape = project(axis[a], v[0]);
        for (int i = 1; i < 3; ++i) {
            const Span s = project(axis[a], v[i]);
            shape.lo = s.lo < shape.lo ? s.lo : shape.lo;
            shape.hi = s.hi > shape.hi ? s.hi : shape.hi;
        }
        test.shadowLo[a] = shape.lo;
        test.shadowHi[a] = shape.hi;
    }
    test.axesReady = true;
}

} // namespace

// The box's axes and the shortcuts; then, where they leave it open, the
// other ten axes, prepared on first need.
bool touchesBox(TriangleBoxTest& test, const float boxMin[3], const float boxMax[3]) {
    const Triangle& triangle = *test.triangle;
    for (int k = 0; k < 3; ++k) {
        const float a = component(triangle.V0, k);
        const float b = component(triangle.V1, k);
        const float c = component(triangle.V2, k);
        if (a < boxMin[k] && b < boxMin[k] && c < boxMin[k])
            return false;
    }
    double lo[3];
    double hi[3];
    for (int k = 0; k < 3; ++k) {
        lo[k] = boxMin[k] - test.reach;
        hi[k] = widenedMax(test, boxMax[k]);
        if (component(triangle.V0, k) > hi[k] && component(triangle.V1, k) > hi[k] &&
            component(triangle.V2, k) > hi[k])
            return false;
    }
    // A corner in the box settles it; most triangles that reach this far have one.
    if (cornerInBox(triangle.V0, boxMin, boxMax) || cornerInBox(triangle.V1, boxMin, boxMax) ||
        cornerInBox(triangle.V2, boxMin, boxMax))
        return true;
    // Products of infinities are NaN, which would make a test that is not
    // monotone; such a triangle keeps the answer so far.
    if (!test.finite)
        return true;
    if (!test.axesReady)
        prepareAxes(test);
    for (int a = 0; a < 10; ++a) {
        if (separatedOn(test.axis[a], {test.shadowLo[a], test.shadowHi[a]}, lo, hi))
            return false;
    }
    return true;
}

TriangleBoxTest startTriangleBoxTest(const Triangle& t) {
    // The axes and shadows are filled on first need, not here: the cost
    // search starts millions of these.
    TriangleBoxTest test;
    test.triangle = &t;
    test.axesReady = false;
    // The triangle test's weights and distance are rounded, so it accepts
    // hits a few roundings of the corners' magnitude off the triangle; a cell
    // that close keeps the triangle, so that such a hit is still found in the
    // cell it lies in. Below a box the answer must stay exact; above it and
    // on the other axes the box reaches out by this much. Fixed per
    // triangle, so still monotone in the box.
    double magnitude = 0.0;
    for (const Vector3* p : {&t.V0, &t.V1, &t.V2})
        for (int k = 0; k < 3; ++k) {
            const double c = std::fabs(static_cast<double>(component(*p, k)));
            magnitude = c > magnitude ? c : magnitude;
        }
    test.reach = magnitude * hitSlack;
    test.finite = isFinite(t.V0) && isFinite(t.V1) && isFinite(t.V2);
    return test;
}

bool triangleTouchesBox(const Triangle& triangle, const float boxMin[3], const float boxMax[3]) {
    TriangleBoxTest test = startTriangleBoxTest(triangle);
    return touchesBox(test, boxMin, boxMax);
}

} // namespace vantrel
