#include "vantrel/kdtree/build.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "vantrel/kdtree/compile/compile.h"
#include "vantrel/kdtree/nodes/build_driver.h"
#include "vantrel/kdtree/split/midpoint_estimate.h"
#include "vantrel/kdtree/split/split_cost.h"
#include "vantrel/kdtree/split/split_midpoint.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

bool knownMethod(int32_t method) {
    return method >= 0 && method <= 2;
}

} // namespace

// All in one run.
void loadRoot(CKdNode& root, const PrimitiveList& list) {
    uint32_t count = 0;
    for (uint32_t i = 0; i < list.count; ++i)
        count += isBuildable(list.items[i]) ? 1 : 0;
    FrontRun run(root.primitives, count);
    for (uint32_t i = 0; i < list.count; ++i) {
        if (isBuildable(list.items[i]))
            run.push(list.items[i]);
    }
    computeBounds(root);
}

namespace {

// In a box that is a single point no plane separates anything and no node
// is ever thinner than the root: every level would copy the whole list into
// both children, 2^20 times over. Such a root stays a leaf.
int32_t depthBelow(const float boundsMin[3], const float boundsMax[3]) {
    const bool point = boundsMin[0] == boundsMax[0] && boundsMin[1] == boundsMax[1] &&
                       boundsMin[2] == boundsMax[2];
    return point ? 0 : maxDepth;
}

} // namespace

uint64_t midpointReferencesForeseen(const PrimitiveList& list) {
    float boundsMin[3];
    float boundsMax[3];
    boundsOfBuildable(list, boundsMin, boundsMax);
    uint32_t count = 0;
    for (uint32_t i = 0; i < list.count; ++i)
        count += isBuildable(list.items[i]) ? 1 : 0;
    const uint32_t sampled = std::min(count, midpointSampleSize);
    std::vector<PrimitiveRef> sample;
    sample.reserve(sampled);
    for (uint32_t i = 0, buildable = 0; i < list.count && sample.size() < sampled; ++i) {
        if (!isBuildable(list.items[i]))
            continue;
        if (buildable++ ==
            midpointSampleIndex(static_cast<uint32_t>(sample.size()), count, sampled))
            sample.push_back(list.items[i]);
    }
    return count + midpointEntriesEstimate(sample, count, boundsMin, boundsMax,
                                           depthBelow(boundsMin, boundsMax));
}

void growNodeTree(CKdNode& root, int32_t method) {
    const int32_t depth = depthBelow(root.boundsMin, root.boundsMax);
    if (method == 0) {
        root.context().foreseeListEntries(midpointEntriesEstimate(root, depth));
        splitMidpoint(root, root, depth);
    } else
        splitByCost(root, root, depth, method);
}

KdTree* buildInContext(const PrimitiveList& list, int32_t method, BuildContext& context) {
    context.requireRoomFor(list);
    context.chargeBuildInput(list.count);
    KdTree* tree = nullptr;
    uint32_t leafCount = 0;
    {
        CKdNode root(context);
        loadRoot(root, list);
        growNodeTree(root, method);
        // The lists are complete; the compile step may need the address
        // space kept for them.
        context.lists.trim();
        context.chargeCompiledTree(root);
        compileKdTree(root, &tree);
        uint32_t nodeCount = 0;
        countNodes(root, nodeCount, leafCount);
    }
    context.nodes.release();
    // Packed once the node tree is gone, into the memory its lists held.
    try {
        packLeafShapes(*tree, leafCount, context);
    } catch (...) {
        releaseKdTree(tree, leafCount);
        throw;
    }
    return tree;
}

void buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method) {
    if (!knownMethod(method)) {
        *out = nullptr;
        return;
    }
    try {
        BuildContext context;
        *out = buildInContext(*list, method, context);
    } catch (...) {
        // Passed on at once; the handler is here for its effect on unwinding.
        // Without one, a failure that nothing further up catches may end the
        // program before the stack is unwound; with one, the node tree and
        // the context release everything first, as the build promises.
        throw;
    }
}

BuildResult buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method,
                        const BuildOptions& options) {
    if (!knownMethod(method))
        return BuildResult::UnknownMethod;
    try {
        BuildContext context(options);
        try {
            *out = buildInContext(*list, method, context);
            return BuildResult::Built;
        } catch (const std::bad_alloc&) {
            if (context.cancelled)
                return BuildResult::Cancelled;
            if (context.budget.tooLarge())
                return BuildResult::InputTooLarge;
            return context.budget.exceeded() ? BuildResult::OverBudget : BuildResult::OutOfMemory;
        }
    } catch (const std::bad_alloc&) {
        // The context could not even read what the machine gives.
        return BuildResult::OutOfMemory;
    }
}

} // namespace vantrel
