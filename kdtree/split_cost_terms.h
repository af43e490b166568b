// The pieces of a split's cost that the literal and the fast plane search
// share, so that both compute the very same floats.
//
// Precision: every area and cost is evaluated in float, left to right as
// 3 + 10 * area * count, for the sides and for the leaf alike; only the
// empty-side threshold compares in double. A sphere candidate is formed in
// double and rounded to float once.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_node.h"
#include "vantrel/kdtree/split_cost.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

constexpr double kdEmptySideShare = 0.1;
constexpr float kdSphereMargin = 0.001f;

inline float boxArea(const float boxMin[3], const float boxMax[3]) {
    const float x = boxMax[0] - boxMin[0];
    const float y = boxMax[1] - boxMin[1];
    const float z = boxMax[2] - boxMin[2];
    return 2.0f * (x * y + x * z + y * z);
}

// Areas of the two boxes that a plane at position on axis cuts box into.
inline void splitAreas(int32_t axis, float position, const float boxMin[3], const float boxMax[3],
                       float* areaLower, float* areaUpper) {
    float cut[3] = {boxMin[0], boxMin[1], boxMin[2]};
    cut[axis] = position;
    *areaUpper = boxArea(cut, boxMax);
    cut[0] = boxMax[0];
    cut[1] = boxMax[1];
    cut[2] = boxMax[2];
    cut[axis] = position;
    *areaLower = boxArea(boxMin, cut);
}

inline float sideCost(float area, uint32_t count, float areaWhole, bool emptyRule) {
    if (emptyRule && count == 0 && static_cast<double>(area) > kdEmptySideShare * areaWhole)
        return 0.0f;
    return kdTraversalCost + kdIntersectionCost * area * static_cast<float>(count);
}

// Same order of products as a side, so that a plane on a face of the box,
// whose far side is the whole node, can never undercut the leaf by rounding.
inline float leafCost(uint32_t count, float area) {
    return kdTraversalCost + kdIntersectionCost * area * static_cast<float>(count);
}

// Rounds a candidate to float and pulls it into [low, high]. NaN passes
// through unchanged.
inline float clampCandidate(double candidate, float low, float high) {
    float position = static_cast<float>(candidate);
    if (position < low)
        position = low;
    if (position > high)
        position = high;
    return position;
}

// The two candidate planes an entry offers on axis, and whether they are
// costed with the empty-side rule. Entries that are neither spheres nor
// triangles offer none.
struct EntryCandidates {
    float lower;
    float upper;
    bool emptyRule;
};

inline bool entryCandidates(const PrimitiveRef& ref, int32_t axis, int32_t method,
                            const CKdNode& node, EntryCandidates* out) {
    const float low = node.boundsMin[axis];
    const float high = node.boundsMax[axis];
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        const double c = component(s.centre, axis);
        const double r = s.radius;
        const bool withMargin = method == 2;
        const double margin = withMargin ? static_cast<double>(kdSphereMargin) : 0.0;
        out->lower = clampCandidate(c - r - margin, low, high);
        out->upper = clampCandidate(c + r + margin, low, high);
        out->emptyRule = withMargin;
        return true;
    }
    if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        const float a = component(t.V0, axis);
        const float b = component(t.V1, axis);
        const float c = component(t.V2, axis);
        float lowest = a;
        if (b < lowest)
            lowest = b;
        if (c < lowest)
            lowest = c;
        float highest = a;
        if (b > highest)
            highest = b;
        if (c > highest)
            highest = c;
        out->lower = clampCandidate(lowest, low, high);
        out->upper = clampCandidate(highest, low, high);
        // Triangles never get the empty-side rule, in either method.
        out->emptyRule = false;
        return true;
    }
    return false;
}

} // namespace vantrel
