// Per axis the candidates are taken in sorted order, which the root sorts
// once and every child inherits. As the plane moves up, the lower box only
// grows and the upper box only shrinks, and both box tests stay monotone in
// float as well: each side of the sphere test sums squared distances that
// only shrink (lower box) or only grow (upper box, whose plane never passes
// boxMax once clamped), and a triangle's test only gains (loses) room; a NaN
// coordinate or radius only makes a test constant. So every entry's lower
// test switches once from false to true along the sorted candidates and its
// upper test once from true to false, and each switch is settled with the
// very same test: the counts per candidate are exactly those of a full pass,
// and the costs come from the same float expressions in split_cost_terms.h.
//
// Where a sphere switches is worked out first from where its surface meets
// the planes, c ∓ √(r² − the rest of its squared distance), which is only a
// hint; the float test then settles the slot, mostly in one window of slots
// tested at once.
#include "vantrel/kdtree/split/cost_plane_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/triangle_box_test.h"
#include "vantrel/kdtree/split/choose.h"
#include "vantrel/kdtree/split/cost_terms.h"
#include "vantrel/kdtree/split/split_cost.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

constexpr uint32_t noSlot = 0xffffffffu; // no place in a child
constexpr uint32_t sphereWindow = 8;     // slots a sphere's switch is settled among at once

// Maps a float (not NaN) to an unsigned key of the same order.
uint32_t orderedBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

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

bool isSphere(const PrimitiveRef& ref) {
    return ref.type == PrimitiveType::Sphere;
}

// Gathers node's spheres and triangles, in list order, with what the search
// reads of each sphere.
void collectEntries(const CKdNode& node, int32_t method, CostSearchScratch& s) {
    s.entries.resize(node.primitives.size());
    s.listPosition.resize(node.primitives.size());
    uint32_t position = 0;
    uint32_t count = 0;
    forEachListEntry(node.primitives, [&](const ListEntry& entry) {
        s.entries[count] = entry.ref();
        s.listPosition[count] = position++;
        count += entry.type == PrimitiveType::Sphere || entry.type == PrimitiveType::Triangle;
    });
    s.entries.shrink(count);
    s.listPosition.shrink(count);
    for (int k = 0; k < 3; ++k) {
        s.centre[k].resize(count);
        s.gap[k].resize(count);
    }
    s.radius.resize(count);
    s.emptyRule.resize(2 * size_t{count});
    for (uint32_t e = 0; e < count; ++e) {
        // Spheres are costed with the empty-side rule in method 2 only,
        // triangles never.
        const uint32_t rule = isSphere(s.entries[e]) && method == 2 ? ~0u : 0u;
        s.emptyRule[2 * e] = s.emptyRule[2 * e + 1] = rule;
        // The spheres lie scattered in memory; ask for them a few entries early.
        if (e + 16 < count)
            __builtin_prefetch(s.entries[e + 16].object);
        if (!isSphere(s.entries[e]))
            continue;
        const Sphere& sphere = *static_cast<const Sphere*>(s.entries[e].object);
        s.radius[e] = sphere.radius;
        for (int k = 0; k < 3; ++k) {
            const float c = component(sphere.centre, k);
            s.centre[k][e] = c;
            s.gap[k][e] = sphereGapSquared(c, node.boundsMin[k], node.boundsMax[k]);
        }
    }
}

// Entry e's candidates on axis before they are pulled into any box.
EntryCandidates unclampedCandidates(const CostSearchScratch& s, uint32_t e, int32_t axis,
                                    int32_t method) {
    if (isSphere(s.entries[e]))
        return sphereCandidates(s.centre[axis][e], s.radius[e], method);
    return triangleCandidates(*static_cast<const Triangle*>(s.entries[e].object), axis);
}

// Pulls the axis's candidates into the node's box and gives each a slot of
// sorted, in which equal positions share one, so that a long run of them
// (candidates clamped to a face) costs the searches nothing.
void placeCandidates(const CKdNode& node, int32_t axis, int32_t method,
                     const ScratchBuffer<uint32_t>& order, CostSearchScratch& s) {
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    const float low = node.boundsMin[axis];
    const float high = node.boundsMax[axis];
    s.positions.resize(2 * size_t{entryCount});
    s.rank.resize(2 * size_t{entryCount});
    // A NaN plane makes both areas NaN, so its cost never beats the best
    // whatever the counts: the order leaves it out, and it borrows slot 0.
    // The order gives every other candidate its slot.
    for (uint32_t k = 0; k < 2 * entryCount; k += 2) {
        const EntryCandidates c = unclampedCandidates(s, k / 2, axis, method);
        s.positions[k] = clampCandidate(c.lower, low, high);
        s.positions[k + 1] = clampCandidate(c.upper, low, high);
        if (s.positions[k] != s.positions[k])
            s.rank[k] = 0;
        if (s.positions[k + 1] != s.positions[k + 1])
            s.rank[k + 1] = 0;
    }
    // A sphere's window may reach past the last slot, into its copies.
    s.sorted.resize(order.size() + sphereWindow);
    float* const sorted = s.sorted.data();
    const float* const positions = s.positions.data();
    uint32_t* const rank = s.rank.data();
    if (order.size() == 0) {
        s.sorted.shrink(0);
        return;
    }
    // Without a branch, as runs of equal positions come and go: a position
    // moves on to the next slot only where it differs from the one before.
    float previous = positions[order[0]];
    uint32_t last = 0;
    for (const uint32_t id : order) {
        const float position = positions[id];
        last += position != previous;
        sorted[last] = position;
        rank[id] = last;
        previous = position;
    }
    std::fill_n(sorted + last + 1, sphereWindow, previous);
    s.sorted.shrink(last + 1);
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
#if defined(__SSE2__)
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
#if defined(__SSE2__)
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

#if defined(__SSE2__)

// boxArea of boxes whose extents are extent[] but on axis, where each lane
// has its own, in the same float operations.
__m128 areaWith(int32_t axis, __m128 varying, const float extent[3]) {
    const __m128 x = axis == 0 ? varying : _mm_set1_ps(extent[0]);
    const __m128 y = axis == 1 ? varying : _mm_set1_ps(extent[1]);
    const __m128 z = axis == 2 ? varying : _mm_set1_ps(extent[2]);
    const __m128 sum = _mm_add_ps(_mm_add_ps(_mm_mul_ps(x, y), _mm_mul_ps(x, z)), _mm_mul_ps(y, z));
    return _mm_mul_ps(_mm_set1_ps(2.0f), sum);
}

// sideCost in four lanes: the empty-side rule compares in double there too.
__m128 sideCostFour(__m128 area, __m128i count, __m128 emptyRule, __m128d threshold) {
    const __m128 countFloat = _mm_cvtepi32_ps(count);
    const __m128d lowPair = _mm_cmpgt_pd(_mm_cvtps_pd(area), threshold);
    const __m128d highPair = _mm_cmpgt_pd(_mm_cvtps_pd(_mm_movehl_ps(area, area)), threshold);
    const __m128 large =
        _mm_shuffle_ps(_mm_castpd_ps(lowPair), _mm_castpd_ps(highPair), _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 empty = _mm_castsi128_ps(_mm_cmpeq_epi32(count, _mm_setzero_si128()));
    const __m128 free = _mm_and_ps(_mm_and_ps(emptyRule, empty), large);
    const __m128 cost =
        _mm_add_ps(_mm_set1_ps(kdTraversalCost),
                   _mm_mul_ps(_mm_mul_ps(_mm_set1_ps(kdIntersectionCost), area), countFloat));
    return _mm_andnot_ps(free, cost);
}

// The scan of searchCostPlaneOrdered, four candidates at a time, with the
// same float operations; returns the first candidate it has not scanned.
uint32_t scanCandidatesFour(CKdNode& node, int32_t axis, const CostSearchScratch& s, float& best) {
    const uint32_t candidateCount = static_cast<uint32_t>(s.positions.size());
    // Counts go through a signed conversion.
    if (s.entries.size() >= (uint64_t{1} << 31))
        return 0;
    float extent[3];
    for (int k = 0; k < 3; ++k)
        extent[k] = node.boundsMax[k] - node.boundsMin[k];
    const __m128 low = _mm_set1_ps(node.boundsMin[axis]);
    const __m128 high = _mm_set1_ps(node.boundsMax[axis]);
    const __m128d threshold =
        _mm_set1_pd(kdEmptySideShare * boxArea(node.boundsMin, node.boundsMax));
    uint32_t k = 0;
    for (; k + 4 <= candidateCount; k += 4) {
        // Each slot's two counts, side by side: lanes 0 and 1, then 2 and 3.
        const __m128i countsLow = _mm_unpacklo_epi64(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&s.counts[s.rank[k]])),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&s.counts[s.rank[k + 1]])));
        const __m128i countsHigh = _mm_unpacklo_epi64(
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&s.counts[s.rank[k + 2]])),
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&s.counts[s.rank[k + 3]])));
        const __m128i lowerCount = _mm_castps_si128(_mm_shuffle_ps(
            _mm_castsi128_ps(countsLow), _mm_castsi128_ps(countsHigh), _MM_SHUFFLE(2, 0, 2, 0)));
        const __m128i upperCount = _mm_castps_si128(_mm_shuffle_ps(
            _mm_castsi128_ps(countsLow), _mm_castsi128_ps(countsHigh), _MM_SHUFFLE(3, 1, 3, 1)));
        const __m128 position = _mm_loadu_ps(&s.positions[k]);
        const __m128 emptyRule = _mm_loadu_ps(reinterpret_cast<const float*>(&s.emptyRule[k]));
        const __m128 areaLower = areaWith(axis, _mm_sub_ps(position, low), extent);
        const __m128 areaUpper = areaWith(axis, _mm_sub_ps(high, position), extent);
        const __m128 cost = _mm_add_ps(sideCostFour(areaLower, lowerCount, emptyRule, threshold),
                                       sideCostFour(areaUpper, upperCount, emptyRule, threshold));
        const uint32_t cheaper =
            static_cast<uint32_t>(_mm_movemask_ps(_mm_cmplt_ps(cost, _mm_set1_ps(best))));
        if (cheaper == 0)
            continue;
        alignas(16) float costs[4];
        _mm_store_ps(costs, cost);
        for (uint32_t lane = 0; lane < 4; ++lane) {
            if (((cheaper >> lane) & 1) && costs[lane] < best) {
                best = costs[lane];
                node.axis = axis;
                node.split = s.positions[k + lane];
            }
        }
    }
    return k;
}

#else

uint32_t scanCandidatesFour(CKdNode&, int32_t, const CostSearchScratch&, float&) {
    return 0;
}

#endif

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

float searchCostPlaneOrdered(CKdNode& node, int32_t method, const CandidateOrder& order,
                             CostSearchScratch& s) {
    // The midpoint plane, counted as the child step would sort the entries.
    const ChildSideCounts midpoint = decideChildSides(node, node.axis, node.split, s.sides);
    float costLower;
    float costUpper;
    float best = splitCost(node.axis, node.split, node.boundsMin, node.boundsMax, midpoint.lower,
                           midpoint.upper, method == 2, &costLower, &costUpper);

    collectEntries(node, method, s);
    const uint32_t entryCount = static_cast<uint32_t>(s.entries.size());
    const float areaWhole = boxArea(node.boundsMin, node.boundsMax);
    for (int32_t axis = 0; axis < 3; ++axis) {
        placeCandidates(node, axis, method, order.ids[axis], s);
        if (s.sorted.empty())
            continue;
        countSides(node, axis, method, s);

        // In list order, so that equal costs keep the earlier candidate.
        uint32_t k = scanCandidatesFour(node, axis, s, best);
        for (; k < 2 * entryCount; ++k) {
            const CostSearchScratch::SlotCounts counts = s.counts[s.rank[k]];
            const float position = s.positions[k];
            const bool emptyRule = s.emptyRule[k] != 0;
            float areaLower;
            float areaUpper;
            splitAreas(axis, position, node.boundsMin, node.boundsMax, &areaLower, &areaUpper);
            const float cost = sideCost(areaLower, counts.lower, areaWhole, emptyRule) +
                               sideCost(areaUpper, counts.upper, areaWhole, emptyRule);
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
