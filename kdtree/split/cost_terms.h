// The pieces of a split's cost: the areas, the sides' and the leaf's costs
// and the candidate planes, each in one fixed float expression.
//
// Precision: every area and cost is evaluated in float, left to right as
// 3 + 10 * area * count, for the sides and for the leaf alike; only the
// empty-side threshold compares in double. A sphere candidate is formed in
// double and rounded to float once.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/kdtree/split/split_cost.h"
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

// The cost of cutting [boxMin, boxMax] at position on axis, from the counts
// of each side; each side's cost is written out, their sum returned.
inline float splitCost(int32_t axis, float position, const float boxMin[3], const float boxMax[3],
                       uint32_t countLower, uint32_t countUpper, bool emptyRule, float* costLower,
                       float* costUpper) {
    float areaLower;
    float areaUpper;
    splitAreas(axis, position, boxMin, boxMax, &areaLower, &areaUpper);
    const float areaWhole = boxArea(boxMin, boxMax);
    *costLower = sideCost(areaLower, countLower, areaWhole, emptyRule);
    *costUpper = sideCost(areaUpper, countUpper, areaWhole, emptyRule);
    return *costLower + *costUpper;
}

// Same order of products as a side, so that a plane on a face of the box,
// whose far side is the whole node, can never undercut the leaf by rounding.
inline float leafCost(uint32_t count, float area) {
    return kdTraversalCost + kdIntersectionCost * area * static_cast<float>(count);
}

// Pulls a candidate into [low, high]. NaN passes through unchanged.
inline float clampCandidate(float position, float low, float high) {
    // As selects, which the processor does without a branch.
    position = low > position ? low : position;
    return position > high ? high : position;
}

// The two candidate planes an entry offers on an axis, and whether they are
// costed with the empty-side rule.
struct EntryCandidates {
    float lower;
    float upper;
    bool emptyRule;
};

// How far outside a sphere its candidates lie in a split method.
inline double sphereCandidateMargin(int32_t method) {
    return method == 2 ? static_cast<double>(kdSphereMargin) : 0.0;
}

// A sphere's candidates on an axis where its centre lies at centre, before
// they are pulled into the node's box: formed in double, rounded once.
inline EntryCandidates sphereCandidates(float centre, float radius, int32_t method) {
    const double c = centre;
    const double r = radius;
    const double margin = sphereCandidateMargin(method);
    return {static_cast<float>(c - r - margin), static_cast<float>(c + r + margin), method == 2};
}

// A triangle's candidates on axis, before they are pulled into the box: the
// smallest and the largest coordinate of its vertices. Triangles never get
// the empty-side rule, in either method, nor a margin.
inline EntryCandidates triangleCandidates(const Triangle& t, int32_t axis) {
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
    return {lowest, highest, false};
}

} // namespace vantrel
