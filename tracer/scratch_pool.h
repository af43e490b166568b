// A static bump arena whose contents live for one tile.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

constexpr uint32_t scratchPoolSize = 10485760;

// Every placement starts on this boundary, enough for the pointers inside
// lists and entries.
constexpr uint32_t scratchAlignment = 8;

alignas(scratchAlignment) extern unsigned char scratchPool[scratchPoolSize];
extern uint32_t scratchUsed; // offset of the first free byte

// Copies source (header and entries) into the pool and stores the copy's
// address through out. A copy that does not fit is refused: out receives null
// and the pool is left as it was.
void copyListToScratch(PrimitiveList** out, const PrimitiveList& source);

} // namespace vantrel
