// Per axis the candidates are sorted once. As the plane moves up, the lower
// box only grows and the upper box only shrinks, and both box tests stay
// monotone in float as well: each side of the sphere test sums squared
// distances that only shrink (lower box) or only grow (upper box, whose plane
// never passes boxMax once clamped), and the triangle test compares vertices
// with the plane; a NaN coordinate or radius only makes a test constant. So
// every entry's lower test switches once from false to true along the sorted
// candidates and its upper test once from true to false, and each switch is
// found by bisection with the very same test. The counts per candidate are
// therefore exactly those of a full pass, and the costs come from the same
// float expressions in split_cost_terms.h.
#include "vantrel/kdtree/cost_plane_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vantrel/kdtree/split_cost.h"
#include "vantrel/kdtree/split_cost_terms.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

constexpr uint32_t noSlot = 0xffffffffu;

bool touches(const PrimitiveRef& ref, const float boxMin[3], const float boxMax[3]) {
    if (ref.type == PrimitiveType::Sphere)
        return sphereTouchesBox(*static_cast<const Sphere*>(ref.object), boxMin, boxMax);
    return triangleTouchesBox(*static_cast<const Triangle*>(ref.object), boxMin, boxMax);
}

// Maps a float (not NaN) to an unsigned key of the same order.
uint32_t orderedBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// First slot in [0, count] at which holds() is true, for a predicate that can
// only turn from false to true as the slot grows; count when it never holds.
// The switch usually lies next to the entry's own candidate, so the search
// gallops out from hint before it bisects; hint == count means no hint.
template <class Predicate>
uint32_t firstHolding(const Predicate& holds, uint32_t count, uint32_t hint) {
    // holds() is false at lo (or lo is -1) and true at hi (or hi is count).
    int64_t lo = -1;
    int64_t hi = count;
    if (hint < count) {
        int64_t step = 1;
        if (holds(hint)) {
            hi = hint;
            for (;;) {
                const int64_t probe = hi - step;
                if (probe < 0)
                    break;
                if (!holds(static_cast<uint32_t>(probe))) {
                    lo = probe;
                    break;
                }
                hi = probe;
                step *= 2;
            }
        } else {
            lo = hint;
            for (;;) {
                const int64_t probe = lo + step;
                if (probe >= count)
                    break;
                if (holds(static_cast<uint32_t>(probe))) {
                    hi = probe;
                    break;
                }
                lo = probe;
                step *= 2;
            }
        }
    }
    while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        if (holds(static_cast<uint32_t>(mid)))
            hi = mid;
        else
            lo = mid;
    }
    return static_cast<uint32_t>(hi);
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

// Sorts the axis's candidates and fills sorted, with each position once, and
// rank.
void sortCandidates(CostSearchScratch& s) {
    const uint32_t candidateCount = static_cast<uint32_t>(s.positions.size());
    s.keys.clear();
    for (uint32_t k = 0; k < candidateCount; ++k) {
        const float position = s.positions[k];
        // A NaN plane makes both areas NaN, so its cost never beats the best
        // and it needs no counts.
        if (position != position)
            continue;
        s.keys.push_back(static_cast<uint64_t>(orderedBits(position)) << 32 | k);
    }
    sortKeys(s.keys, s.spareKeys);
    s.sorted.clear();
    s.rank.assign(candidateCount, noSlot);
    // Equal positions share a slot, so that a long run of them (candidates
    // clamped to a face) costs the bisection nothing.
    for (const uint64_t key : s.keys) {
        const uint32_t k = static_cast<uint32_t>(key);
        const float position = s.positions[k];
        if (s.sorted.empty() || s.sorted.back() != position)
            s.sorted.push_back(position);
        s.rank[k] = static_cast<uint32_t>(s.sorted.size() - 1);
    }
}

// A sphere that reaches past the node on another axis meets the planes of
// this one over a narrower span than its diameter, so its switches lie away
// from its own candidates. Moves both hints to where the switches should
// fall; only a guess, which saves box tests but decides nothing.
void refineSphereHints(const Sphere& sphere, const CKdNode& node, int32_t axis,
                       const std::vector<float>& sorted, uint32_t* lowerHint, uint32_t* upperHint) {
    double outside = 0.0;
    for (int32_t k = 0; k < 3; ++k) {
        const double c = component(sphere.centre, k);
        double gap = 0.0;
        if (c < node.boundsMin[k])
            gap = node.boundsMin[k] - c;
        else if (c > node.boundsMax[k])
            gap = c - node.boundsMax[k];
        if (k != axis)
            outside += gap * gap;
        else if (gap > 0.0)
            return;
    }
    const double r = sphere.radius;
    const double reachSquared = r * r - outside;
    const uint32_t slots = static_cast<uint32_t>(sorted.size());
    if (!(reachSquared > 0.0) || slots == 0)
        return;
    const double reach = std::sqrt(reachSquared);
    const double c = component(sphere.centre, axis);
    const double low = c - reach;
    const double high = c + reach;
    const auto reachesLow = [&](uint32_t slot) { return sorted[slot] >= low; };
    const auto passesHigh = [&](uint32_t slot) { return sorted[slot] > high; };
    *lowerHint =
        std::min(firstHolding(reachesLow, slots, std::min(*lowerHint, slots - 1)), slots - 1);
    *upperHint =
        std::min(firstHolding(passesHigh, slots, std::min(*upperHint, slots - 1)), slots - 1);
}

// Fills lowerCounts and upperCounts: per slot of sorted, the entries whose
// test holds for the lower and for the upper box of a plane there.
void countSides(const CKdNode& node, int32_t axis, CostSearchScratch& s) {
    const uint32_t slots = static_cast<uint32_t>(s.sorted.size());
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    std::vector<uint32_t>& lowerStarts = s.lowerCounts;
    std::vector<uint32_t>& upperEnds = s.upperCounts;
    lowerStarts.assign(slots + 1, 0);
    upperEnds.assign(slots + 1, 0);

    float lowerMax[3] = {node.boundsMax[0], node.boundsMax[1], node.boundsMax[2]};
    float upperMin[3] = {node.boundsMin[0], node.boundsMin[1], node.boundsMin[2]};
    for (uint32_t i = 0; i < entryCount; ++i) {
        const PrimitiveRef& ref = s.entries[i];
        const auto lowerTouches = [&](uint32_t slot) {
            lowerMax[axis] = s.sorted[slot];
            return touches(ref, node.boundsMin, lowerMax);
        };
        const auto upperMisses = [&](uint32_t slot) {
            upperMin[axis] = s.sorted[slot];
            return !touches(ref, upperMin, node.boundsMax);
        };
        uint32_t lowerHint = s.rank[2 * i] == noSlot ? slots : s.rank[2 * i];
        uint32_t upperHint = s.rank[2 * i + 1] == noSlot ? slots : s.rank[2 * i + 1];
        if (ref.type == PrimitiveType::Sphere)
            refineSphereHints(*static_cast<const Sphere*>(ref.object), node, axis, s.sorted,
                              &lowerHint, &upperHint);
        ++lowerStarts[firstHolding(lowerTouches, slots, lowerHint)];
        ++upperEnds[firstHolding(upperMisses, slots, upperHint)];
    }

    uint32_t lower = 0;
    uint32_t upperGone = 0;
    for (uint32_t slot = 0; slot < slots; ++slot) {
        lower += lowerStarts[slot];
        upperGone += upperEnds[slot];
        lowerStarts[slot] = lower;
        upperEnds[slot] = entryCount - upperGone;
    }
}

} // namespace

float searchCostPlaneFast(CKdNode& node, int32_t method, CostSearchScratch& s) {
    float costLower;
    float costUpper;
    float best = evaluateSplit(node, &costLower, &costUpper, node.axis, node.split, node.boundsMin,
                               node.boundsMax, method == 2);

    s.entries.clear();
    for (const PrimitiveRef& ref : node.primitives) {
        if (ref.type == PrimitiveType::Sphere || ref.type == PrimitiveType::Triangle)
            s.entries.push_back(ref);
    }
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    const float areaWhole = boxArea(node.boundsMin, node.boundsMax);
    s.positions.resize(2 * static_cast<size_t>(entryCount));
    s.emptyRule.resize(entryCount);

    for (int32_t axis = 0; axis < 3; ++axis) {
        for (uint32_t i = 0; i < entryCount; ++i) {
            EntryCandidates c{};
            entryCandidates(s.entries[i], axis, method, node, &c);
            s.positions[2 * i] = c.lower;
            s.positions[2 * i + 1] = c.upper;
            s.emptyRule[i] = c.emptyRule;
        }
        sortCandidates(s);
        countSides(node, axis, s);

        // In list order, so that equal costs keep the earlier candidate.
        for (uint32_t k = 0; k < 2 * entryCount; ++k) {
            const uint32_t slot = s.rank[k];
            if (slot == noSlot)
                continue;
            const float position = s.positions[k];
            const bool emptyRule = s.emptyRule[k / 2] != 0;
            float areaLower;
            float areaUpper;
            splitAreas(axis, position, node.boundsMin, node.boundsMax, &areaLower, &areaUpper);
            const float cost = sideCost(areaLower, s.lowerCounts[slot], areaWhole, emptyRule) +
                               sideCost(areaUpper, s.upperCounts[slot], areaWhole, emptyRule);
            if (cost < best) {
                best = cost;
                node.axis = axis;
                node.split = position;
            }
        }
    }
    return best;
}

} // namespace vantrel
