// The fast plane search of the cost-driven split methods: the same plane as
// the literal search, found with sorted candidates instead of a full pass over
// the list per candidate.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/kdtree/kd_node.h"

namespace vantrel {

// Working storage kept from node to node, so that a build allocates it once.
struct CostSearchScratch {
    std::vector<PrimitiveRef> entries; // spheres and triangles of the node, front to back
    std::vector<float> positions;      // two candidates per entry, in list order
    std::vector<uint8_t> emptyRule;    // per entry
    std::vector<uint64_t> keys;        // candidate order by position
    std::vector<uint64_t> spareKeys;
    std::vector<float> sorted;         // distinct candidate positions, ascending
    std::vector<uint32_t> rank;        // slot in sorted of each candidate
    std::vector<uint32_t> lowerCounts; // per slot: entries touching the lower box
    std::vector<uint32_t> upperCounts; // per slot: entries touching the upper box
};

// Same contract as searchCostPlaneLiteral.
float searchCostPlaneFast(CKdNode& node, int32_t method, CostSearchScratch& scratch);

} // namespace vantrel
