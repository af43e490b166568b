#include "vantrel/kdtree/nodes/build_context.h"

#include <algorithm>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

namespace {

// Per input entry: the child step's side flags and the plane search's
// candidates, keys, ranks and counts, with room for their vectors' growth.
constexpr std::size_t workingBytesPerEntry = 256;

// Address space reserved for the lists is lost to the heap, which must hold
// the nodes, the working storage and the compiled tree; the store can grow
// past its reservation.
ListStoreLimits listLimits(const BuildOptions& options, const BudgetAccount& budget) {
    std::size_t reservation = budget.limit();
    const std::size_t left = addressSpaceLeft();
    if (left != SIZE_MAX)
        reservation = std::min(reservation, left / 2);
    return {reservation, options.listMemoryLimit, options.hugePages};
}

// All but the packed groups.
uint64_t compiledBytes(const CKdNode& node) {
    const uint64_t entry = sizeof(KdTreeNode);
    if (!node.isLeaf)
        return entry + compiledBytes(*node.left) + compiledBytes(*node.right);
    return entry + sizeof(PrimitiveList) + sizeof(LeafShapes) + 2 * sizeof(void*) +
           node.primitives.size() * sizeof(PrimitiveRef);
}

} // namespace

BuildContext::BuildContext(const BuildOptions& buildOptions)
    : options(buildOptions), budget(buildOptions.memoryBudget, buildOptions.sharedBudget != nullptr
                                                                   ? *buildOptions.sharedBudget
                                                                   : processBuildBudget()),
      lists(listLimits(buildOptions, budget)), nodes(sizeof(CKdNode), alignof(CKdNode)) {}

void BuildContext::chargeBuildInput(uint32_t entries) {
    budget.charge(uint64_t{entries} * (sizeof(ListEntry) + workingBytesPerEntry));
}

void BuildContext::chargeChildNodes() {
    budget.charge(2 * nodes.blockBytes());
}

void BuildContext::chargeListEntries(uint64_t entries) {
    budget.charge(entries * sizeof(ListEntry));
}

void BuildContext::chargeCompiledTree(const CKdNode& root) {
    budget.charge(sizeof(KdTree) + compiledBytes(root));
}

void BuildContext::chargeLeafGroups(uint32_t sphereGroups, uint32_t triangleGroups) {
    budget.charge(uint64_t{sphereGroups} * sizeof(SphereGroup) +
                  uint64_t{triangleGroups} * sizeof(TriangleGroup));
}

} // namespace vantrel
