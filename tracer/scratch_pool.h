// A static bump arena whose contents live for one tile.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace vantrel {

constexpr uint32_t scratchPoolSize = 10485760;

extern unsigned char scratchPool[scratchPoolSize];
extern uint32_t scratchUsed; // offset of the first free byte

// Copies source (header and entries) into the pool and stores the copy's
// address through out.
void copyListToScratch(PrimitiveList** out, const PrimitiveList& source);

} // namespace vantrel
