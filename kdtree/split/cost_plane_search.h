// The plane search of the cost-driven split methods: the cheapest of the
// candidate planes, found with sorted candidates instead of a full pass over
// the list per candidate.
#pragma once

#include <cstdint>
#include <vector>

#include "vantrel/kdtree/memory/scratch_buffer.h"
#include "vantrel/kdtree/nodes/child_step.h"
#include "vantrel/kdtree/split/cost_terms.h"

namespace vantrel {

// A node's candidates on each axis, in the order of the values they have
// before they are pulled into the node's box: ids 2 × entry + 0 for the lower
// candidate, + 1 for the upper, the entries (the node's spheres and
// triangles) numbered in list order. NaN candidates are left out. Pulling
// into a box keeps the order, so a child's order is its parent's, filtered.
struct CandidateOrder {
    ScratchBuffer<uint32_t> ids[3];

    // Bytes more it would hold as the order of a child of a node whose
    // order is parent.
    std::size_t growthBytes(const CandidateOrder& parent) const {
        std::size_t bytes = 0;
        for (int axis = 0; axis < 3; ++axis)
            bytes += ids[axis].growthBytes(parent.ids[axis].size());
        return bytes;
    }
};

// Working storage kept from node to node, so that a build allocates it once.
struct CostSearchScratch {
    // Per entry of the node searched last, in list order.
    ScratchBuffer<PrimitiveRef> entries;
    ScratchBuffer<uint32_t> listPosition; // its place in the node's list
    ScratchBuffer<float> centre[3];       // of a sphere
    ScratchBuffer<float> radius;
    ScratchBuffer<float> gap[3];       // sphereTouchesBox's share of each axis, for the node's box
    ScratchBuffer<uint32_t> emptyRule; // per candidate: all bits where its cost takes the rule
    // Per candidate of the axis searched: pulled into the box, and its slot.
    ScratchBuffer<float> positions;
    ScratchBuffer<uint32_t> rank;
    ScratchBuffer<float> sorted; // distinct candidate positions, ascending
    struct SlotCounts {
        uint32_t lower; // entries touching the lower box of a plane at the slot
        uint32_t upper; // and the upper box
    };
    ScratchBuffer<SlotCounts> counts;
    ScratchBuffer<uint32_t> bucketFirst; // per bucket of the axis's span, its first slot
    ScratchBuffer<uint32_t> entryRun;    // the entries in the order their switches are found
    std::vector<uint64_t> keys;          // for sorting a root's candidates
    std::vector<uint64_t> spareKeys;
    ScratchBuffer<uint32_t> childIndex[2]; // per entry: its place in each child, or none
    CandidateOrder order;
    ChildStepScratch sides; // for the midpoint plane
};

// Slots a sphere's switch is settled among at once; the sorted slots are
// padded with this many copies of the last, so that a window may reach past
// it.
constexpr uint32_t sphereWindow = 8;

inline bool isSphere(const PrimitiveRef& ref) {
    return ref.type == PrimitiveType::Sphere;
}

// Gathers node's spheres and triangles, in list order, with what the search
// reads of each sphere, into s.
void collectEntries(const CKdNode& node, int32_t method, CostSearchScratch& s);

// Entry e's candidates on axis before they are pulled into any box.
EntryCandidates unclampedCandidates(const CostSearchScratch& s, uint32_t e, int32_t axis,
                                    int32_t method);

// Over a node whose axis and split hold its midpoint plane: leaves the
// cheapest plane in axis and split and returns its cost. Ties keep the
// midpoint plane, then the lower axis, then the entry nearer the front of
// the list, then the lower of its two candidates.
float searchCostPlaneOrdered(CKdNode& node, int32_t method, const CandidateOrder& order,
                             CostSearchScratch& scratch);

// Sorts the candidates of node's list.
void orderCandidates(const CKdNode& node, int32_t method, CandidateOrder& order,
                     CostSearchScratch& scratch);

// The candidate orders of node's children, from node's own, right after the
// search over node (whose entries scratch still holds) and the child step
// (which left each entry's side in sides). A null order is not made.
void inheritCandidateOrder(const CandidateOrder& parent, const CKdNode& node,
                           const ChildStepScratch& sides, CostSearchScratch& scratch,
                           CandidateOrder* lower, CandidateOrder* upper);

} // namespace vantrel
