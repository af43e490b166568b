// Keeping, lane by lane, the first entry at the smallest accepted distance,
// as a list test that records only strictly nearer hits ends with.
#pragma once

#include <cstdint>

#include "vantrel/tracer/intersect.h"

namespace vantrel {

constexpr uint32_t noEntry = 0xffffffffu;

// Takes an accepted candidate that is nearer than best into best, and entry
// into bestEntry.
template <class F>
void keepNearer(F candidate, typename F::Mask accepted, typename F::Ints entry, F& best,
                typename F::Ints& bestEntry) {
    const typename F::Mask nearer = accepted & (candidate < best);
    best = select(nearer, candidate, best);
    bestEntry = select(nearer, entry, bestEntry);
}

// Across the lanes: the smallest distance, left in distance, and the first
// entry at it; noEntry when no lane took any.
template <class F> uint32_t firstNearest(F best, typename F::Ints bestEntry, float& distance) {
    using Ints = typename F::Ints;
    // Lanes hold no NaN: only ordered comparisons let a candidate in.
    distance = minLane(best);
    if (distance == noHitDistance)
        return noEntry;
    // Each lane kept its first entry at its distance, so the lowest wins.
    return minLane(select(best == F(distance), bestEntry, Ints(noEntry)));
}

// The first entry at the smallest distance among count entries tested
// F::width at a time: test(first, candidate, accepted) tests entries first
// on. One lane stops at count; wider steps test the padding past it, which
// no test accepts.
template <class F, class Test> uint32_t nearestOfLanes(uint32_t count, float& distance, Test test) {
    using Ints = typename F::Ints;
    F best = noHitDistance;
    Ints bestEntry = noEntry;
    Ints entry = Ints::iota();
    for (uint32_t first = 0; first < count; first += F::width) {
        F candidate;
        typename F::Mask accepted;
        test(first, candidate, accepted);
        keepNearer(candidate, accepted, entry, best, bestEntry);
        entry = entry + Ints(F::width);
    }
    return firstNearest(best, bestEntry, distance);
}

} // namespace vantrel
