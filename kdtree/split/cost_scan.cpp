// The scan of a node's candidates on one axis: each costed from its slot's
// counts, in list order, so that equal costs keep the earlier candidate.
#include "vantrel/kdtree/split/cost_scan.h"

#include "vantrel/kdtree/nodes/four_lanes.h"
#include "vantrel/kdtree/split/cost_terms.h"

namespace vantrel {

namespace {

#if VANTREL_KDTREE_SSE

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

void scanCandidates(CKdNode& node, int32_t axis, const CostSearchScratch& s, float& best) {
    const uint32_t candidateCount = static_cast<uint32_t>(s.positions.size());
    const float areaWhole = boxArea(node.boundsMin, node.boundsMax);
    for (uint32_t k = scanCandidatesFour(node, axis, s, best); k < candidateCount; ++k) {
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

} // namespace vantrel
