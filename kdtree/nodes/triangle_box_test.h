// triangleTouchesBox for one triangle against many boxes: what depends on the
// triangle alone is worked out once, on first need, and kept. The answers
// are exactly those of triangleTouchesBox.
#pragma once

#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

struct TriangleBoxTest {
    const Triangle* triangle;
    double reach; // how far the box reaches out, but below it
    bool finite;
    bool axesReady;
    // The face normal and the nine edge crosses, and the triangle's widened
    // shadow on each.
    double axis[10][3];
    double shadowLo[10];
    double shadowHi[10];
};

TriangleBoxTest startTriangleBoxTest(const Triangle& triangle);

// triangleTouchesBox(*test.triangle, boxMin, boxMax).
bool touchesBox(TriangleBoxTest& test, const float boxMin[3], const float boxMax[3]);

// Two of the test's rules, for callers that reason with them: a corner in
// the box (faces included) makes it true, and all corners above a bound as
// the test widens it make it false.
inline bool cornerInBox(const Vector3& corner, const float boxMin[3], const float boxMax[3]) {
    for (int k = 0; k < 3; ++k) {
        const float c = component(corner, k);
        if (!(c >= boxMin[k] && c <= boxMax[k]))
            return false;
    }
    return true;
}
inline double widenedMax(const TriangleBoxTest& test, float boxMax) {
    return boxMax + test.reach;
}

} // namespace vantrel
