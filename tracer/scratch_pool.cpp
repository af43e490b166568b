#include "vantrel/tracer/scratch_pool.h"

#include <new>

namespace vantrel {

alignas(scratchAlignment) unsigned char scratchPool[scratchPoolSize];
uint32_t scratchUsed = 0;

// Headers and entries hold pointers; with both sizes a multiple of the
// alignment, the entries follow their header without padding.
static_assert(alignof(PrimitiveList) <= scratchAlignment, "header alignment");
static_assert(alignof(PrimitiveRef) <= scratchAlignment, "entry alignment");
static_assert(sizeof(PrimitiveList) % alignof(PrimitiveRef) == 0, "entries follow the header");
static_assert(scratchPoolSize % scratchAlignment == 0, "pool ends on an aligned boundary");

void copyListToScratch(PrimitiveList** out, const PrimitiveList& source) {
    // 64-bit arithmetic: a count near 2^32 must not wrap into a small size.
    const uint64_t start = (static_cast<uint64_t>(scratchUsed) + scratchAlignment - 1) /
                           scratchAlignment * scratchAlignment;
    const uint64_t bytes =
        sizeof(PrimitiveList) + static_cast<uint64_t>(source.count) * sizeof(PrimitiveRef);
    if (start > scratchPoolSize || bytes > scratchPoolSize - start) {
        *out = nullptr;
        return;
    }

    unsigned char* place = scratchPool + start;
    PrimitiveRef* items = reinterpret_cast<PrimitiveRef*>(place + sizeof(PrimitiveList));
    for (uint32_t i = 0; i < source.count; ++i) {
        new (items + i) PrimitiveRef(source.items[i]);
    }
    scratchUsed = static_cast<uint32_t>(start + bytes);
    *out = new (place) PrimitiveList{items, source.count};
}

} // namespace vantrel
