#include "vantrel/kdtree/split_cost.h"

#include <algorithm>

#include "vantrel/kdtree/cost_plane_search.h"
#include "vantrel/kdtree/split_cost_terms.h"
#include "vantrel/kdtree/split_rules.h"

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

    return splitCost(axis, position, boxMin, boxMax, countLower, countUpper, emptyRule, costLower,
                     costUpper);
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
    // Per level below the root, the candidate orders of a node's two children;
    // the upper one waits there while the lower subtree grows.
    std::vector<CandidateOrder> orders;
};

void growByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method, BuildSteps steps,
                GrowthScratch& scratch, const CandidateOrder& order, uint32_t level) {
    if (!startSplit(node, root, depth))
        return;
    const bool fast = steps == BuildSteps::Fast;
    const float best = fast ? searchCostPlaneOrdered(node, method, order, scratch.search)
                            : searchCostPlaneLiteral(node, method);

    const uint32_t count = static_cast<uint32_t>(node.primitives.size());
    if (leafCost(count, boxArea(node.boundsMin, node.boundsMax)) <= best) {
        node.isLeaf = true;
        return;
    }
    createChildrenWith(node, scratch.children, steps);
    CandidateOrder& lower = scratch.orders[2 * level];
    CandidateOrder& upper = scratch.orders[2 * level + 1];
    // Only a child that will be searched needs its order.
    if (fast) {
        const auto searched = [&](const CKdNode& child) {
            return !passesLeafTest(child, root, depth - 1);
        };
        inheritCandidateOrder(order, node, scratch.children, scratch.search,
                              searched(*node.left) ? &lower : nullptr,
                              searched(*node.right) ? &upper : nullptr);
    }
    growByCost(*node.left, root, depth - 1, method, steps, scratch, lower, level + 1);
    growByCost(*node.right, root, depth - 1, method, steps, scratch, upper, level + 1);
}

} // namespace

void splitByCostWith(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method,
                     BuildSteps steps) {
    GrowthScratch scratch;
    // Sized once: the levels hold on to each other.
    scratch.orders.resize(2 * static_cast<size_t>(std::max(depth, 0) + 1));
    CandidateOrder& rootOrder = scratch.search.order;
    if (steps == BuildSteps::Fast && !passesLeafTest(node, root, depth))
        orderCandidates(node, method, rootOrder, scratch.search);
    growByCost(node, root, depth, method, steps, scratch, rootOrder, 0);
}

void splitByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method) {
    splitByCostWith(node, root, depth, method, BuildSteps::Fast);
}

} // namespace vantrel
