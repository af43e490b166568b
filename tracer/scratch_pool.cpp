#include "vantrel/tracer/scratch_pool.h"

#include <new>

#include "vantrel/tracer/trace_context.h"

namespace vantrel {

alignas(scratchAlignment) unsigned char scratchPool[scratchPoolSize];

// Headers and entries hold pointers; with both sizes a multiple of the
// alignment, the entries follow their header without padding.
static_assert(alignof(PrimitiveList) <= scratchAlignment, "header alignment");
static_assert(alignof(PrimitiveRef) <= scratchAlignment, "entry alignment");
static_assert(sizeof(PrimitiveList) % alignof(PrimitiveRef) == 0, "entries follow the header");
static_assert(scratchPoolSize % scratchAlignment == 0, "pool ends on an aligned boundary");

void copyListToScratch(TraceContext& context, PrimitiveList** out, const PrimitiveList& source) {
    ScratchArena& arena = context.scratch;
    // 64-bit arithmetic: a count near 2^32 must not wrap into a small size.
    const uint64_t start = (static_cast<uint64_t>(arena.used) + scratchAlignment - 1) /
                           scratchAlignment * scratchAlignment;
    const uint64_t bytes =
        sizeof(PrimitiveList) + static_cast<uint64_t>(source.count) * sizeof(PrimitiveRef);
    if (start > arena.size || bytes > arena.size - start) {
        *out = nullptr;
        return;
    }

    unsigned char* place = arena.base + start;
    PrimitiveRef* items = reinterpret_cast<PrimitiveRef*>(place + sizeof(PrimitiveList));
    for (uint32_t i = 0; i < source.count; ++i) {
        new (items + i) PrimitiveRef(source.items[i]);
    }
    arena.used = static_cast<uint32_t>(start + bytes);
    *out = new (place) PrimitiveList{items, source.count};
}

void copyListToScratch(PrimitiveList** out, const PrimitiveList& source) {
    copyListToScratch(programTraceContext, out, source);
}

} // namespace vantrel
