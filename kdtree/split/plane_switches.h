// Where each entry of a node starts and stops touching the two boxes a plane
// cuts, as the plane moves up the sorted candidates of an axis.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/split/cost_plane_search.h"

namespace vantrel {

// Fills s.counts from the candidates placeCandidates left in s: per slot of
// s.sorted, the entries whose test holds for the lower and for the upper box
// of a plane there.
void countSides(const CKdNode& node, int32_t axis, int32_t method, CostSearchScratch& s);

} // namespace vantrel
