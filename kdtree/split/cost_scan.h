// The cost of every candidate plane of one axis, from the counts per slot.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/split/cost_plane_search.h"

namespace vantrel {

// Costs the axis's candidates in list order; any cheaper than best becomes
// node's plane and best.
void scanCandidates(CKdNode& node, int32_t axis, const CostSearchScratch& s, float& best);

} // namespace vantrel
