#include "vantrel/kdtree/nodes/build_context.h"

#include <algorithm>
#include <new>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/page_advice.h"

namespace vantrel {

namespace {

// Per input entry: the child step's side flags and the plane search's
// candidates, keys, ranks and counts, with room for their vectors' growth.
constexpr std::size_t workingBytesPerEntry = 256;

// Not counted one by one: the chunk the node pool cuts ahead of the nodes
// charged and the list store's page in use.
constexpr std::size_t uncountedPerBuild = maxPoolChunkBytes + hugePageBytes;

// The lists reserve what the build may take, which costs no memory until it
// is written. Under an address-space limit, though, address space reserved
// and not yet used is lost to the heap and counted by no charge: there the
// lists reserve only what they use, growing (and moving) as they must.
ListStoreLimits listLimits(const BuildOptions& options, const BudgetAccount& budget) {
    const std::size_t reservation = addressSpaceLimited() ? 0 : budget.limit();
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

// The root's list and the working storage of the child step and the plane
// search, which never grows past what the largest list, the root's, needs.
uint64_t inputBytes(uint32_t entries) {
    return uint64_t{entries} * (sizeof(ListEntry) + workingBytesPerEntry);
}

} // namespace

BuildContext::BuildContext(const BuildOptions& buildOptions)
    : options(buildOptions),
      budget(buildOptions.memoryBudget,
             buildOptions.sharedBudget != nullptr ? *buildOptions.sharedBudget
                                                  : processBuildBudget(),
             uncountedPerBuild),
      lists(listLimits(buildOptions, budget)), nodes(sizeof(CKdNode), alignof(CKdNode)) {}

void BuildContext::requireRoomFor(const PrimitiveList& list) {
    uint32_t spheres = 0;
    uint32_t triangles = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (!isBuildable(list.items[i]))
            continue;
        spheres += list.items[i].type == PrimitiveType::Sphere;
        triangles += list.items[i].type == PrimitiveType::Triangle;
    }
    // One leaf at least, as compiledBytes counts it.
    const uint64_t leastTree = sizeof(KdTree) + sizeof(KdTreeNode) + sizeof(PrimitiveList) +
                               sizeof(LeafShapes) + 2 * sizeof(void*);
    budget.require(inputBytes(list.count) + leastTree +
                   (uint64_t{spheres} + triangles) * sizeof(PrimitiveRef) +
                   uint64_t{groupsFor(spheres)} * sizeof(SphereGroup) +
                   uint64_t{groupsFor(triangles)} * sizeof(TriangleGroup));
}

void BuildContext::chargeBuildInput(uint32_t entries) {
    budget.charge(inputBytes(entries));
}

void BuildContext::chargeChildNodes() {
    // Once a node: a check far finer than a person waits, and far rarer than
    // the work of a node.
    if (options.cancel && options.cancel->load(std::memory_order_relaxed)) {
        cancelled = true;
        throw std::bad_alloc(); // unwinds as a refused charge does
    }
    budget.charge(2 * nodes.blockBytes());
}

void BuildContext::chargeListEntries(uint64_t entries) {
    budget.charge(entries * sizeof(ListEntry));
}

void BuildContext::foreseeListEntries(uint64_t entries) {
    budget.foresee(entries * sizeof(ListEntry));
}

void BuildContext::chargeCompiledTree(const CKdNode& root) {
    budget.charge(sizeof(KdTree) + compiledBytes(root));
}

void BuildContext::chargeLeafGroups(uint32_t sphereGroups, uint32_t triangleGroups) {
    budget.charge(uint64_t{sphereGroups} * sizeof(SphereGroup) +
                  uint64_t{triangleGroups} * sizeof(TriangleGroup));
}

} // namespace vantrel
