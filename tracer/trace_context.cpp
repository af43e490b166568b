#include "vantrel/tracer/trace_context.h"

#include "vantrel/kdtree/kd_tree.h"

namespace vantrel {

#if defined(__x86_64__)
static_assert(sizeof(TraceContext) == 20928, "the size the header states");
#endif

// Constant-initialised: every part is in place before any code runs.
TraceContext programTraceContext(scratchPool, scratchPoolSize);

HitRecord& hitRecord = programTraceContext.hit;
float (&accumulatedColour)[3] = programTraceContext.colour;
uint32_t& scratchUsed = programTraceContext.scratch.used;

TraceContext::TraceContext(uint32_t scratchBytes) {
    if (scratchBytes == 0)
        return;
    // Left uninitialised: pages are taken only as copies reach them.
    ownedScratch.reset(new unsigned char[scratchBytes]);
    scratch = {ownedScratch.get(), scratchBytes, 0};
}

void addRayCounts(TraceContext& context) {
    if (context.countedRays != 0)
        __atomic_fetch_add(&context.countedTree->rayCount, context.countedRays, __ATOMIC_RELAXED);
    context.countedRays = 0;
}

void changeCountedTree(TraceContext& context, const KdTree& tree) {
    addRayCounts(context);
    // A tree's counter is the one field that tracing writes, once per batch;
    // every other field is only read.
    context.countedTree = const_cast<KdTree*>(&tree);
}

} // namespace vantrel
