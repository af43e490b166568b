// Along the sorted candidates of an axis, the lower box only grows and the
// upper box only shrinks as the plane moves up, and both box tests stay
// monotone in float as well: each side of the sphere test sums squared
// distances that only shrink (lower box) or only grow (upper box, whose plane
// never passes boxMax once clamped), and a triangle's test only gains (loses)
// room; a NaN coordinate or radius only makes a test constant. So every
// entry's lower test switches once from false to true and its upper test once
// from true to false, and each switch is settled with the very same test: the
// counts per candidate are exactly those of a full pass.
//
// Where a sphere switches is worked out first from where its surface meets
// the planes, c ∓ √(r² − the rest of its squared distance), which is only a
// hint; the float test then settles the slot, mostly in one window of slots
// tested at once.
#include "vantrel/kdtree/split/plane_switches.h"

#include <algorithm>
#include <cmath>

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/four_lanes.h"
#include "vantrel/kdtree/nodes/triangle_box_test.h"
#include "vantrel/kdtree/split/choose.h"
#include "vantrel/kdtree/split/cost_terms.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

// First slot in [0, count] at which holds() is true, for a predicate that can
// only turn from false to true as the slot grows; count when it never holds.
// The switch usually lies next to hint, so the search gallops out from there
// before it bisects; hint == count means no hint.
template <class Predicate>
uint32_t firstHolding(const Predicate& holds, uint32_t count, uint32_t hint) {
    // Mostly the switch lies at the hint or next to it.
    if (hint < count) {
        if (holds(hint)) {
            if (hint == 0 || !holds(hint - 1))
                return hint;
        } else if (hint + 1 == count || holds(hint + 1)) {
            return hint + 1;
        }
    }
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

// Where a position falls among the sorted slots of an axis, within a few:
// the box's span cut into as many buckets as there are slots, each with the
// first slot in it or above; made the first time it is asked. Only ever a
// hint.
class SlotGuide {
  public:
    SlotGuide(const CKdNode& node, int32_t axis, CostSearchScratch& s)
        : sorted(s.sorted.data()), slots(static_cast<uint32_t>(s.sorted.size())),
          low(node.boundsMin[axis]), high(node.boundsMax[axis]), storage(s.bucketFirst) {}

    // The first slot in value's bucket or above, which mostly lies at the
    // first slot whose position is >= value or a few below it; hint where the
    // span has no buckets.
    uint32_t near(float value, uint32_t hint) {
        if (first == nullptr && !build())
            return hint;
        return first[bucketOf(value)];
    }

  private:
    // Monotone in position; in float, as it is only a hint.
    uint32_t bucketOf(float position) const {
        float at = (position - low) * scale;
#if VANTREL_KDTREE_SSE
        // As max and min, which the compiler would make branches of: a
        // position below the box (or NaN) comes as often as not.
        at = _mm_cvtss_f32(
            _mm_min_ss(_mm_max_ss(_mm_set_ss(at), _mm_setzero_ps()), _mm_set_ss(top)));
#else
        at = at > 0.0f ? at : 0.0f; // below the box, or NaN
        at = at < top ? at : top;
#endif
        return std::min(static_cast<uint32_t>(at), buckets - 1);
    }

    bool build() {
        const double span = static_cast<double>(high) - low;
        if (!(span > 0.0) || !std::isfinite(span) || slots < 2)
            return false;
        buckets = slots;
        scale = static_cast<float>(buckets / span);
        top = static_cast<float>(buckets - 1);
        first = storage.resize(buckets);
        // first[b], the first slot in bucket b or above, is the number of
        // slots below bucket b, as the slots are sorted.
        std::fill_n(first, buckets, 0u);
        for (uint32_t slot = 0; slot < slots; ++slot)
            ++first[bucketOf(sorted[slot])];
        uint32_t below = 0;
        for (uint32_t bucket = 0; bucket < buckets; ++bucket) {
            const uint32_t count = first[bucket];
            first[bucket] = below;
            below += count;
        }
        return true;
    }

    const float* sorted;
    uint32_t slots;
    float low;
    float high;
    ScratchBuffer<uint32_t>& storage;
    uint32_t* first = nullptr; // per bucket
    uint32_t buckets = 0;
    float scale = 0.0f; // buckets per unit
    float top = 0.0f;   // the last bucket, as a float
};

// What sphereTouchesBox sums for one sphere when only axis's share varies:
// (rest + share) + restAfter, the same sum in the same order.
struct SphereOnAxis {
    float centre;
    float reach; // radius squared
    float rest;
    float restAfter;

    bool touches(float share) const { return reach >= (rest + share) + restAfter; }
};

SphereOnAxis sphereOnAxis(const CostSearchScratch& s, uint32_t e, int32_t axis) {
    SphereOnAxis sphere;
    sphere.centre = s.centre[axis][e];
    sphere.reach = s.radius[e] * s.radius[e];
    // 0 + g0 + g1 + g2 from the left: the share of x is the first term, of y
    // the second; that of z comes last, after a sum that adding 0 keeps.
    if (axis == 0) {
        sphere.rest = s.gap[1][e];
        sphere.restAfter = s.gap[2][e];
    } else if (axis == 1) {
        sphere.rest = s.gap[0][e];
        sphere.restAfter = s.gap[2][e];
    } else {
        sphere.rest = s.gap[0][e] + s.gap[1][e];
        sphere.restAfter = 0.0f;
    }
    return sphere;
}

// Whether sphere e lies inside the node's box on every axis but axis. Then
// its surface meets the planes at its own candidates; elsewhere where it
// meets them once the other axes have taken their share.
bool insideOnOtherAxes(const CostSearchScratch& s, uint32_t e, int32_t axis) {
    const SphereOnAxis sphere = sphereOnAxis(s, e, axis);
    return (sphere.rest == 0.0f) & (sphere.restAfter == 0.0f);
}

// One bit for each of the window's slots from start: whether the lower test
// holds there (Upper: whether the upper test fails), four slots at a time in
// the float operations of SphereOnAxis::touches.
template <bool Upper, class Predicate>
uint32_t windowBits(const SphereOnAxis& sphere, const Predicate& holds, const float* sorted,
                    uint32_t start, float low, float high) {
#if VANTREL_KDTREE_SSE
    (void)holds;
    const __m128 c = _mm_set1_ps(sphere.centre);
    uint32_t bits = 0;
    for (uint32_t k = 0; k < sphereWindow; k += 4) {
        const __m128 plane = _mm_loadu_ps(sorted + start + k);
        const __m128 share = Upper ? gapSquared4(c, plane, _mm_set1_ps(high))
                                   : gapSquared4(c, _mm_set1_ps(low), plane);
        const __m128 sum =
            _mm_add_ps(_mm_add_ps(_mm_set1_ps(sphere.rest), share), _mm_set1_ps(sphere.restAfter));
        const __m128 touches = _mm_cmpge_ps(_mm_set1_ps(sphere.reach), sum);
        bits |= static_cast<uint32_t>(_mm_movemask_ps(touches)) << k;
    }
    return Upper ? ~bits & ((1u << sphereWindow) - 1) : bits;
#else
    (void)sphere, (void)sorted, (void)low, (void)high;
    uint32_t bits = 0;
    for (uint32_t k = 0; k < sphereWindow; ++k)
        bits |= static_cast<uint32_t>(holds(start + k)) << k;
    return bits;
#endif
}

// firstHolding for a sphere's test, from a guess that mostly lies at the
// switch or a few slots below it. The window from one slot below the guess
// settles it where the switch lies inside, past the window's first slot (or
// at slot 0), or where the test holds nowhere in it and it reaches the last
// slot.
template <bool Upper, class Predicate>
uint32_t settleSphere(const SphereOnAxis& sphere, const Predicate& holds, const float* sorted,
                      uint32_t slots, float low, float high, uint32_t guess) {
    const uint32_t below = guess - (guess > 0);
    const uint32_t start = std::min(below, slots > sphereWindow ? slots - sphereWindow : 0u);
    const uint32_t inside = slots - start; // slots in the window, when fewer
    // Past the last slot the window sees its copies, which only repeat it.
    const uint32_t bits = windowBits<Upper>(sphere, holds, sorted, start, low, high);
    const bool settled =
        (((bits & 1) == 0) | (start == 0)) & ((bits != 0) | (inside <= sphereWindow));
    if (!settled)
        return firstHolding(holds, slots, guess);
    const uint32_t first = static_cast<uint32_t>(__builtin_ctz(bits | (1u << sphereWindow)));
    return start + std::min(first, inside);
}

// The slots at which sphere e's lower test starts to hold and its upper test
// stops holding. Without the guide, e lies inside the box on the other axes,
// and its upper switch lies at most upperBack slots below its own candidate.
template <bool WithGuide>
void sphereSwitches(const CKdNode& node, int32_t axis, uint32_t e, const CostSearchScratch& s,
                    SlotGuide& guide, uint32_t upperBack, uint32_t* lowerStart,
                    uint32_t* upperEnd) {
    const uint32_t slots = static_cast<uint32_t>(s.sorted.size());
    const float* sorted = s.sorted.data();
    const float low = node.boundsMin[axis];
    const float high = node.boundsMax[axis];
    SphereOnAxis sphere;
    if constexpr (WithGuide) {
        sphere = sphereOnAxis(s, e, axis);
    } else {
        // Their shares are all +0, as squares that are zero.
        sphere = {s.centre[axis][e], s.radius[e] * s.radius[e], 0.0f, 0.0f};
    }
    const float c = sphere.centre;
    const auto lowerTouches = [&](uint32_t slot) {
        return sphere.touches(sphereGapSquared(c, low, sorted[slot]));
    };
    const auto upperMisses = [&](uint32_t slot) {
        return !sphere.touches(sphereGapSquared(c, sorted[slot], high));
    };
    const uint32_t lastSlot = slots - 1;
    // Inside the box on the other axes: a box whose face lies on the own
    // candidate c ± r touches the sphere or, by rounding, just misses it, so
    // the switch lies there or one slot past; with a margin, the candidates
    // within it lie between. Elsewhere the guess is where the surface meets
    // the planes (in float, as it is only a hint).
    uint32_t lowerGuess = s.rank[2 * e];
    uint32_t upperGuess = s.rank[2 * e + 1] - std::min(s.rank[2 * e + 1], upperBack);
    if constexpr (WithGuide) {
        const float reachLeft = sphere.reach - sphere.rest - sphere.restAfter;
        const float spread = reachLeft > 0.0f ? std::sqrt(reachLeft) : 0.0f;
        lowerGuess = guide.near(c - spread, lowerGuess);
        upperGuess = guide.near(c + spread, upperGuess);
    }
    // Which of the cases below a sphere falls in is hard to foresee, so each
    // gives its guess by choose(), and the same window settles all.
    // - A centre below the box (or NaN) for the lower switch, above it for
    //   the upper one: the plane changes nothing, so the test is the same at
    //   every slot; mostly the sphere touches every lower box from slot 0
    //   on and is missed by no upper box.
    // - Out of reach even with the plane past the centre: the lower test
    //   never holds, and the upper box is always missed.
    const bool reachable = sphere.touches(0.0f);
    const uint32_t lowerPick =
        choose(c >= low, choose(reachable, std::min(lowerGuess, lastSlot), lastSlot), 0u);
    const uint32_t upperPick =
        choose(c <= high, choose(reachable, std::min(upperGuess, lastSlot), 0u), lastSlot);
    *lowerStart = settleSphere<false>(sphere, lowerTouches, sorted, slots, low, high, lowerPick);
    *upperEnd = settleSphere<true>(sphere, upperMisses, sorted, slots, low, high, upperPick);
}

// The same for triangle e, with triangleTouchesBox (prepared once for the
// axis), from its own candidates.
//
// Most switches follow from the test's own rules without making it. Where
// the corner that gives a candidate lies in the node's box, the box test of
// a plane's lower box is false while all corners lie above the plane by more
// than the test's reach, and true from there on, as that corner then lies
// in the box the separating axes are tried against; the upper box's test
// holds up to the candidate and fails past it, where all corners lie below.
void triangleSwitches(const CKdNode& node, int32_t axis, uint32_t e, const CostSearchScratch& s,
                      uint32_t* lowerStart, uint32_t* upperEnd) {
    const uint32_t slots = static_cast<uint32_t>(s.sorted.size());
    const Triangle& triangle = *static_cast<const Triangle*>(s.entries[e].object);
    float lowerMax[3] = {node.boundsMax[0], node.boundsMax[1], node.boundsMax[2]};
    float upperMin[3] = {node.boundsMin[0], node.boundsMin[1], node.boundsMin[2]};
    TriangleBoxTest test = startTriangleBoxTest(triangle);
    const auto lowerTouches = [&](uint32_t slot) {
        lowerMax[axis] = s.sorted[slot];
        return touchesBox(test, node.boundsMin, lowerMax);
    };
    const auto upperMisses = [&](uint32_t slot) {
        upperMin[axis] = s.sorted[slot];
        return !touchesBox(test, upperMin, node.boundsMax);
    };
    const Vector3* const corners[3] = {&triangle.V0, &triangle.V1, &triangle.V2};
    const Vector3* lowest = corners[0];
    const Vector3* highest = corners[0];
    for (const Vector3* corner : corners) {
        lowest = component(*corner, axis) < component(*lowest, axis) ? corner : lowest;
        highest = component(*corner, axis) > component(*highest, axis) ? corner : highest;
    }
    const uint32_t lowerRank = s.rank[2 * e];
    const uint32_t upperRank = s.rank[2 * e + 1];
    if (test.finite && cornerInBox(*lowest, node.boundsMin, node.boundsMax)) {
        const double lowestAt = component(*lowest, axis);
        const auto withinReach = [&](uint32_t slot) {
            return !(lowestAt > widenedMax(test, s.sorted[slot]));
        };
        *lowerStart = firstHolding(withinReach, slots, lowerRank);
    } else {
        *lowerStart = firstHolding(lowerTouches, slots, lowerRank);
    }
    if (test.finite && cornerInBox(*highest, node.boundsMin, node.boundsMax))
        *upperEnd = upperRank + 1;
    else
        *upperEnd = firstHolding(upperMisses, slots, upperRank);
}

} // namespace

// Fills counts: per slot of sorted, the entries whose test holds for the
// lower and for the upper box of a plane there.
void countSides(const CKdNode& node, int32_t axis, int32_t method, CostSearchScratch& s) {
    const uint32_t slots = static_cast<uint32_t>(s.sorted.size());
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    // First how many start to touch the lower box and stop touching the
    // upper one at each slot.
    std::fill_n(s.counts.resize(slots + 1), slots + 1, CostSearchScratch::SlotCounts{0, 0});
    // Spheres inside the box on the other axes need no guide where their
    // candidates lie on their surface, or where method 2's margin holds
    // about one other candidate at most: their switches then lie within a
    // window of their own candidates. They are put first, the other entries
    // last, so that neither loop branches on which kind an entry is: in a
    // node cut from a larger one, it is as good as random.
    const double margin = sphereCandidateMargin(method);
    const double span = static_cast<double>(node.boundsMax[axis]) - node.boundsMin[axis];
    const bool ownGuess = margin * slots <= span;
    // With the margin, an upper switch lies below the own candidate, so its
    // window is put to end one slot past it.
    const uint32_t upperBack = margin > 0.0 ? sphereWindow - 3 : 0;
    uint32_t* const run = s.entryRun.resize(entryCount);
    uint32_t inside = 0;
    uint32_t others = entryCount;
    for (uint32_t e = 0; e < entryCount; ++e) {
        const bool guideless = ownGuess && isSphere(s.entries[e]) && insideOnOtherAxes(s, e, axis);
        // Both ends are written; the one not kept is written again later.
        run[inside] = e;
        run[others - 1] = e;
        inside += guideless;
        others -= !guideless;
    }
    uint32_t lowerStart;
    uint32_t upperEnd;
    const auto count = [&] {
        ++s.counts[lowerStart].lower;
        ++s.counts[upperEnd].upper;
    };
    SlotGuide guide(node, axis, s);
    for (uint32_t k = 0; k < inside; ++k) {
        sphereSwitches<false>(node, axis, run[k], s, guide, upperBack, &lowerStart, &upperEnd);
        count();
    }
    for (uint32_t k = inside; k < entryCount; ++k) {
        const uint32_t e = run[k];
        if (isSphere(s.entries[e]))
            sphereSwitches<true>(node, axis, e, s, guide, 0, &lowerStart, &upperEnd);
        else
            triangleSwitches(node, axis, e, s, &lowerStart, &upperEnd);
        count();
    }
    uint32_t lower = 0;
    uint32_t upperGone = 0;
    for (uint32_t slot = 0; slot < slots; ++slot) {
        lower += s.counts[slot].lower;
        upperGone += s.counts[slot].upper;
        s.counts[slot] = {lower, entryCount - upperGone};
    }
}

} // namespace vantrel
