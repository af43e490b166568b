// Sorting a node's candidates by their values before any box clamps them:
// the root sorts them once, and as clamping keeps the order, every child
// takes its parent's order filtered by the sides its entries go to.
#include "vantrel/kdtree/split/cost_plane_search.h"

#include <algorithm>
#include <cstring>

#include "vantrel/kdtree/split/choose.h"

namespace vantrel {

namespace {

constexpr uint32_t noSlot = 0xffffffffu; // no place in a child

// Maps a float (not NaN) to an unsigned key of the same order.
uint32_t orderedBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Sorts keys by their upper 32 bits: least significant byte first, skipping
// bytes that all keys share.
void sortKeys(std::vector<uint64_t>& keys, std::vector<uint64_t>& spare) {
    if (keys.size() < 128) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    uint32_t histogram[4][256] = {};
    for (const uint64_t key : keys) {
        for (int pass = 0; pass < 4; ++pass)
            ++histogram[pass][(key >> (32 + 8 * pass)) & 255];
    }
    spare.resize(keys.size());
    for (int pass = 0; pass < 4; ++pass) {
        uint32_t* counts = histogram[pass];
        const int shift = 32 + 8 * pass;
        if (counts[(keys[0] >> shift) & 255] == keys.size())
            continue;
        uint32_t offset = 0;
        for (uint32_t digit = 0; digit < 256; ++digit) {
            const uint32_t count = counts[digit];
            counts[digit] = offset;
            offset += count;
        }
        for (const uint64_t key : keys)
            spare[counts[(key >> shift) & 255]++] = key;
        keys.swap(spare);
    }
}

} // namespace

void orderCandidates(const CKdNode& node, int32_t method, CandidateOrder& order,
                     CostSearchScratch& s) {
    collectEntries(node, method, s);
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    for (int32_t axis = 0; axis < 3; ++axis) {
        s.keys.clear();
        for (uint32_t e = 0; e < entryCount; ++e) {
            const EntryCandidates c = unclampedCandidates(s, e, axis, method);
            for (uint32_t side = 0; side < 2; ++side) {
                const float value = side == 0 ? c.lower : c.upper;
                if (value == value)
                    s.keys.push_back(uint64_t{orderedBits(value)} << 32 | (2 * e + side));
            }
        }
        sortKeys(s.keys, s.spareKeys);
        ScratchBuffer<uint32_t>& ids = order.ids[axis];
        ids.resize(s.keys.size());
        for (size_t k = 0; k < s.keys.size(); ++k)
            ids[k] = static_cast<uint32_t>(s.keys[k]);
    }
}

namespace {

// The ids of parent's order on one axis whose entries go to a child, renamed
// for the child.
void keepForChild(const ScratchBuffer<uint32_t>& ids, const uint32_t* childIndex,
                  ScratchBuffer<uint32_t>& kept) {
    uint32_t* const out = kept.resize(ids.size());
    uint32_t count = 0;
    // Every id is written, and kept where its entry goes to the child.
    for (const uint32_t id : ids) {
        const uint32_t at = childIndex[id >> 1];
        out[count] = at * 2 + (id & 1);
        count += at != noSlot ? 1 : 0;
    }
    kept.shrink(count);
}

} // namespace

void inheritCandidateOrder(const CandidateOrder& parent, const CKdNode& node,
                           const ChildStepScratch& sides, CostSearchScratch& s,
                           CandidateOrder* lower, CandidateOrder* upper) {
    // A child's list holds its entries in the reverse of the parent's order.
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    CandidateOrder* const children[2] = {lower, upper};
    const uint32_t left[2] = {node.left->primitives.size(), node.right->primitives.size()};
    const uint8_t side[2] = {childLower, childUpper};
    for (int child = 0; child < 2; ++child) {
        if (children[child] == nullptr)
            continue;
        uint32_t* const index = s.childIndex[child].resize(entryCount);
        uint32_t place = left[child];
        // In arithmetic, not branches: an entry's side is as good as random.
        for (uint32_t e = 0; e < entryCount; ++e) {
            const bool kept = (sides.sides[s.listPosition[e]] & side[child]) != 0;
            place -= kept;
            index[e] = choose(kept, place, noSlot);
        }
        for (int32_t axis = 0; axis < 3; ++axis)
            keepForChild(parent.ids[axis], index, children[child]->ids[axis]);
    }
}

} // namespace vantrel
