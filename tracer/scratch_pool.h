// Bump arenas whose contents live for one tile: the program's static pool,
// and a trace context's own.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

struct TraceContext;

constexpr uint32_t scratchPoolSize = 10485760;

// Every placement starts on this boundary, enough for the pointers inside
// lists and entries.
constexpr uint32_t scratchAlignment = 8;

// Memory is taken by advancing used and given back all at once by writing
// an earlier value of used back.
struct ScratchArena {
    unsigned char* base;
    uint32_t size;
    uint32_t used; // offset of the first free byte
};

// The program's pool: the arena of programTraceContext (tracer/trace_context.h).
alignas(scratchAlignment) extern unsigned char scratchPool[scratchPoolSize];
extern uint32_t& scratchUsed; // offset of its first free byte

// Copies source (header and entries) into the pool and stores the copy's
// address through out. A copy that does not fit is refused: out receives null
// and the pool is left as it was.
void copyListToScratch(PrimitiveList** out, const PrimitiveList& source);

// The same in the arena of context.
void copyListToScratch(TraceContext& context, PrimitiveList** out, const PrimitiveList& source);

} // namespace vantrel
