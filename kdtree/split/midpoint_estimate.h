// What a midpoint build will copy, foreseen before it starts. The midpoint
// split cuts cells whatever lies in them, so primitives that overlap are
// copied into every cell they touch, level after level: a few thousand at
// one spot ask for tens of gigabytes, and would take minutes to reach the
// memory budget one copy at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Entries followed for an estimate; the others are taken to touch as many
// cells.
constexpr uint32_t midpointSampleSize = 128;

// The list entries a midpoint build below root (its list loaded, its box
// set) makes at most: each entry followed down every cell it touches, as
// if every cell were split, the way cells full of overlapping primitives
// are. Worked out for an even sample of the entries and scaled to all of
// them, each entry's cells counted up to a bound, so that it costs a few
// thousand cell tests where the build would make billions of copies.
uint64_t midpointEntriesEstimate(const CKdNode& root, int32_t depth);

// The same for count entries of which sample (at most midpointSampleSize,
// evenly spread) is taken, below a root box.
uint64_t midpointEntriesEstimate(const std::vector<PrimitiveRef>& sample, uint32_t count,
                                 const float rootMin[3], const float rootMax[3], int32_t depth);

// The index of the k-th of sampled entries evenly spread over count.
inline uint32_t midpointSampleIndex(uint32_t k, uint32_t count, uint32_t sampled) {
    return static_cast<uint32_t>(uint64_t{k} * count / sampled);
}

} // namespace vantrel
