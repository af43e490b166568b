#include "vantrel/kdtree/split/midpoint_estimate.h"

#include <algorithm>

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/node_list.h"
#include "vantrel/kdtree/split/split_rules.h"

namespace vantrel {

namespace {

// Cells counted for one entry at most: enough to tell copies by the
// thousand, in a few milliseconds an entry at worst.
constexpr uint64_t mostCellsCounted = uint64_t{1} << 15;

bool touches(const PrimitiveRef& ref, const float boxMin[3], const float boxMax[3]) {
    if (ref.type == PrimitiveType::Sphere)
        return sphereTouchesBox(*static_cast<const Sphere*>(ref.object), boxMin, boxMax);
    if (ref.type == PrimitiveType::Triangle)
        return triangleTouchesBox(*static_cast<const Triangle*>(ref.object), boxMin, boxMax);
    return false;
}

struct RootBox {
    const float* min;
    const float* max;
};

// Adds to cells the cells below the box that ref touches, as the midpoint
// split cuts them, until it reaches mostCellsCounted.
void countCells(const PrimitiveRef& ref, const float boxMin[3], const float boxMax[3],
                const RootBox& root, int32_t depth, uint64_t& cells) {
    if (cells >= mostCellsCounted || !boxSplits(boxMin, boxMax, root.min, root.max, depth))
        return;
    const int32_t axis = chooseSplitAxis(boxMin, boxMax);
    const float split = (boxMin[axis] + boxMax[axis]) * 0.5f;
    float lowerMax[3] = {boxMax[0], boxMax[1], boxMax[2]};
    float upperMin[3] = {boxMin[0], boxMin[1], boxMin[2]};
    lowerMax[axis] = split;
    upperMin[axis] = split;
    if (touches(ref, boxMin, lowerMax)) {
        ++cells;
        countCells(ref, boxMin, lowerMax, root, depth - 1, cells);
    }
    if (touches(ref, upperMin, boxMax)) {
        ++cells;
        countCells(ref, upperMin, boxMax, root, depth - 1, cells);
    }
}

} // namespace

uint64_t midpointEntriesEstimate(const std::vector<PrimitiveRef>& sample, uint32_t count,
                                 const float rootMin[3], const float rootMax[3], int32_t depth) {
    if (sample.empty())
        return 0;
    uint64_t cells = 0;
    for (const PrimitiveRef& ref : sample) {
        uint64_t own = 0;
        countCells(ref, rootMin, rootMax, {rootMin, rootMax}, depth, own);
        cells += std::min(own, mostCellsCounted);
    }
    return cells * count / sample.size();
}

uint64_t midpointEntriesEstimate(const CKdNode& root, int32_t depth) {
    const uint32_t count = root.primitives.size();
    const uint32_t sampled = std::min(count, midpointSampleSize);
    std::vector<PrimitiveRef> sample;
    sample.reserve(sampled);
    uint32_t index = 0;
    for (const PrimitiveRef ref : root.primitives) {
        if (sample.size() == sampled)
            break;
        if (index++ == midpointSampleIndex(static_cast<uint32_t>(sample.size()), count, sampled))
            sample.push_back(ref);
    }
    return midpointEntriesEstimate(sample, count, root.boundsMin, root.boundsMax, depth);
}

} // namespace vantrel
