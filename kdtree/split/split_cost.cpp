#include "vantrel/kdtree/split/split_cost.h"

#include <algorithm>

#include "vantrel/kdtree/split/cost_plane_search.h"
#include "vantrel/kdtree/split/cost_terms.h"
#include "vantrel/kdtree/split/split_rules.h"

namespace vantrel {

namespace {

// Storage the whole growth shares, so that it is allocated once.
struct GrowthScratch {
    CostSearchScratch search;
    ChildStepScratch children;
    // Per level below the root, the candidate orders of a node's two children;
    // the upper one waits there while the lower subtree grows.
    std::vector<CandidateOrder> orders;
};

void growByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method,
                GrowthScratch& scratch, const CandidateOrder& order, uint32_t level) {
    if (!startSplit(node, root, depth))
        return;
    const float best = searchCostPlaneOrdered(node, method, order, scratch.search);

    const uint32_t count = static_cast<uint32_t>(node.primitives.size());
    if (leafCost(count, boxArea(node.boundsMin, node.boundsMax)) <= best) {
        node.isLeaf = true;
        return;
    }
    createChildren(node, scratch.children);
    CandidateOrder& lower = scratch.orders[2 * level];
    CandidateOrder& upper = scratch.orders[2 * level + 1];
    // Only a child that will be searched needs its order. A level's orders
    // grow where a node there is larger than any before it, past what the
    // root's working storage was charged for: charged before they grow.
    const auto searched = [&](const CKdNode& child) {
        return !passesLeafTest(child, root, depth - 1);
    };
    CandidateOrder* const lowerOrder = searched(*node.left) ? &lower : nullptr;
    CandidateOrder* const upperOrder = searched(*node.right) ? &upper : nullptr;
    node.context().chargeWorkingStorage((lowerOrder ? lower.growthBytes(order) : 0) +
                                        (upperOrder ? upper.growthBytes(order) : 0));
    inheritCandidateOrder(order, node, scratch.children, scratch.search, lowerOrder, upperOrder);
    growByCost(*node.left, root, depth - 1, method, scratch, lower, level + 1);
    growByCost(*node.right, root, depth - 1, method, scratch, upper, level + 1);
}

} // namespace

void splitByCost(CKdNode& node, const CKdNode& root, int32_t depth, int32_t method) {
    GrowthScratch scratch;
    // Sized once: the levels hold on to each other.
    scratch.orders.resize(2 * static_cast<size_t>(std::max(depth, 0) + 1));
    CandidateOrder& rootOrder = scratch.search.order;
    if (!passesLeafTest(node, root, depth))
        orderCandidates(node, method, rootOrder, scratch.search);
    growByCost(node, root, depth, method, scratch, rootOrder, 0);
}

} // namespace vantrel
