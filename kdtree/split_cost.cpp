#include "kdtree/split_cost.h"

#include "kdtree/cost_plane_search.h"
#include "kdtree/split_cost_terms.h"
#include "kdtree/split_rules.h"

namespace vantrel {

float evaluateSplit(const CKdNode& node, float* costLower, float* costUpper, int32_t axis,
                    float position, const float boxMin[3], const float boxMax[3], bool emptyRule) {
    float lowerMax[3] = {boxMax[0], boxMax[1], boxMax[2]};
    float upperMin[3] = {boxMin[0], boxMin[1], boxMin[2]};
    lowerMax[axis] = position;
    upperMin[axis] = position;

    uint32_t countLower = 0;
    uint32_t countUpper = 0;
    for (const PrimitiveRef& ref : node.primitives) {
        if (ref.type == PrimitiveType::Sphere) {
            const Sphere& s = *static_cast<const Sphere*>(ref.object);
            countLower += sphereTouchesBox(s, boxMin, lowerMax) ? 1 : 0;
            countUpper += sphereTouchesBox(s, upperMin, boxMax) ? 1 : 0;
        } else if (ref.type == PrimitiveType::Triangle) {
            const Triangle& t = *static_cast<const Triangle*>(ref.object);
            countLower += triangleTouchesBox(t, boxMin, lowerMax) ? 1 : 0;
            countUpper += triangleTouchesBox(t, upperMin, boxMax) ? 1 : 0;
        }
    }

    float areaLower;
    float areaUpper;
    splitAreas(axis, position, boxMin, boxMax, &areaLower, &areaUpper);
    const float areaWhole = boxArea(boxMin, boxMax);
    *costLower = sideCost(areaLower, countLower, areaWhole, emptyRule);
    *costUpper = sideCost(areaUpper, countUpper, areaWhole, emptyRule);
    return *costLower + *costUpper;
}

float searchCostPlaneLiteral(CKdNode& node, int32_t method) {
    float costLower;
    float costUpper;
    float best = evaluateSplit(node, &costLower, &costUpper, node.axis, node.split, node.boundsMin,
                               node.boundsMax, method == 2);
    for (int32_t axis = 0; axis < 3; ++axis) {
        for (const PrimitiveRef& ref : node.primitives) {
            EntryCandidates c;
            if (!entryCandidates(ref, axis, method, node, &c))
                continue;
            for (const float position : {c.lower, c.upper}) {
                const float cost = evaluateSplit(node, &costLower, &costUpper, axis, position,
                                                 node.boundsMin, node.boundsMax, c.emptyRule);
                if (cost < best) {
                    best = cost;
                    node.axis = axis;
                    node.split = position;
                }
            }
        }
    }
    return best;
}

namespace {

// Storage the whole growth shares, so that it is allocated once.
struct GrowthScratch {
    CostSearchScratch search;
    ChildStepScratch children;
};

void growByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method, BuildSteps steps,
                GrowthScratch& scratch) {
    if (!startSplit(node, root, depth))
        return;
    const float best = steps == BuildSteps::Fast ? searchCostPlaneFast(node, method, scratch.search)
                                                 : searchCostPlaneLiteral(node, method);

    const uint32_t count = static_cast<uint32_t>(node.primitives.size());
    if (leafCost(count, boxArea(node.boundsMin, node.boundsMax)) <= best) {
        node.isLeaf = true;
        return;
    }
    createChildrenWith(node, scratch.children, steps);
    growByCost(*node.left, root, depth - 1, method, steps, scratch);
    growByCost(*node.right, root, depth - 1, method, steps, scratch);
}

} // namespace

void splitByCostWith(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method,
                     BuildSteps steps) {
    GrowthScratch scratch;
    growByCost(node, root, depth, method, steps, scratch);
}

void splitByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method) {
    splitByCostWith(node, root, depth, method, BuildSteps::Fast);
}

} // namespace vantrel
