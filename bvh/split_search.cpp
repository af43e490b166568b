#include "vantrel/bvh/split_search.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "vantrel/bvh/build_threads.h"
#include "vantrel/bvh/four_floats.h"

namespace vantrel {

namespace {

using namespace bvh_lanes;

// The cost model: a leaf tests up to eight shapes in one step, which costs
// about twice a node's test of its children's boxes.
constexpr float nodeCost = 1.0f;
constexpr float leafStepCost = 2.0f;
// Bins of a run's centres on each axis: as many as it has refs, between
// these; fewer for short runs, whose binning would cost more than the refs.
constexpr int mostBins = 16;
constexpr int leastBins = 4;
// Refs a piece of a shared run takes, at most.
constexpr uint32_t longestPiece = 1 << 14;

float leafSteps(uint32_t count) {
    return static_cast<float>((count + mostInBvhLeaf - 1) / mostInBvhLeaf);
}

// A box as two corners of four lanes, the fourth 0.
struct Box4 {
    Four lower;
    Four upper;

    Box4() : lower(splat(3.4028235e38f)), upper(splat(-3.4028235e38f)) {}

    void grow(Four lo, Four hi) {
        lower = min(lower, lo);
        upper = max(upper, hi);
    }
    void grow(const Box4& other) { grow(other.lower, other.upper); }
    Box box() const {
        float lo[4];
        float hi[4];
        store(lo, lower);
        store(hi, upper);
        return {{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
    }
};

// What a run's measure adds up, piece by piece.
struct RunMeasure {
    Box4 bounds;
    Box4 centres;
    uint32_t spheres = 0;

    void add(const ShapeRef& ref) {
        const Four lo = xyz(ref.box.lower);
        const Four hi = xyz(ref.box.upper);
        bounds.grow(lo, hi);
        const Four centre = lo + hi;
        centres.grow(centre, centre);
        spheres += ref.sphere;
    }
    void add(const RunMeasure& other) {
        bounds.grow(other.bounds);
        centres.grow(other.centres);
        spheres += other.spheres;
    }
};

ShapeRun runOf(uint32_t begin, uint32_t end, const RunMeasure& measure) {
    return {begin, end, measure.bounds.box(), measure.centres.box(), measure.spheres};
}

// The refs a piece of a shared run of count takes: a quarter of the run,
// so that the pieces of the short shared runs at the top of a small build
// share out evenly; a function of the run alone, as the order a shared cut
// leaves its refs in depends on it.
uint32_t pieceLengthOf(uint32_t count) {
    return std::min(count / 4 + 1, longestPiece);
}

uint32_t piecesOf(uint32_t count) {
    const uint32_t length = pieceLengthOf(count);
    return (count + length - 1) / length;
}

// Calls work(piece, first, end) for the pieces of [begin, end), on every
// thread where the run is long.
template <class Work>
void forPieces(const RefArrays& arrays, uint32_t begin, uint32_t end, Work&& work) {
    if (end - begin < arrays.sharedRun) {
        work(0u, begin, end);
        return;
    }
    const uint32_t length = pieceLengthOf(end - begin);
    runItems(*arrays.threads, piecesOf(end - begin), [&](uint32_t piece) {
        const uint32_t first = begin + piece * length;
        work(piece, first, std::min(end, first + length));
    });
}

RunMeasure measure(const RefArrays& arrays, uint32_t begin, uint32_t end) {
    RunMeasure whole;
    if (end - begin < arrays.sharedRun) {
        for (uint32_t i = begin; i < end; ++i)
            whole.add(arrays.refs[i]);
        return whole;
    }
    // Each piece on its own, then joined: the minima, maxima and counts come
    // out the same in any order.
    std::vector<RunMeasure> pieces(piecesOf(end - begin));
    forPieces(arrays, begin, end, [&](uint32_t piece, uint32_t first, uint32_t last) {
        // Added up apart from the others', whose lines other threads write.
        RunMeasure part;
        for (uint32_t i = first; i < last; ++i)
            part.add(arrays.refs[i]);
        pieces[piece] = part;
    });
    for (const RunMeasure& piece : pieces)
        whole.add(piece);
    return whole;
}

// The bins of each axis over a run's centres.
struct BinGrid {
    int bins;
    Four lower;
    Four scale; // 0 on an axis whose bins would have no width, or one past the floats
    Four last;  // bins - 1
    bool usable[3];
};

BinGrid gridOf(const Box& centres, uint32_t count) {
    BinGrid grid;
    grid.bins = static_cast<int>(std::clamp<uint32_t>(count, leastBins, mostBins));
    float scale[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (int k = 0; k < 3; ++k) {
        const float extent = centres.upper[k] - centres.lower[k];
        const float perBin = static_cast<float>(grid.bins) / extent;
        grid.usable[k] = extent > 0.0f && std::isfinite(extent) && std::isfinite(perBin);
        scale[k] = grid.usable[k] ? perBin : 0.0f;
    }
    const float lower[4] = {centres.lower[0], centres.lower[1], centres.lower[2], 0.0f};
    grid.lower = load(lower);
    grid.scale = load(scale);
    grid.last = splat(static_cast<float>(grid.bins - 1));
    return grid;
}

// The ref's bin on each axis. A NaN goes to bin 0: the maximum takes its
// second operand for one.
void binsOf(const BinGrid& grid, const ShapeRef& ref, int32_t bins[4]) {
    const Four centre = xyz(ref.box.lower) + xyz(ref.box.upper);
    truncate(min(max((centre - grid.lower) * grid.scale, splat(0.0f)), grid.last), bins);
}

// Only the first bins of each axis are set and used. A bin's counts lie
// side by side, an axis a lane, for the sweep that prices all three axes
// at once.
struct Bins {
    Box4 box[3][mostBins];
    uint32_t count[mostBins][4];

    explicit Bins(int bins) {
        for (int b = 0; b < bins; ++b) {
            for (int k = 0; k < 3; ++k)
                box[k][b] = Box4{};
            std::fill(count[b], count[b] + 4, 0u);
        }
    }
    void add(const Bins& other, int bins) {
        for (int b = 0; b < bins; ++b) {
            for (int k = 0; k < 3; ++k)
                box[k][b].grow(other.box[k][b]);
            store(count[b], loadCounts(count[b]) + loadCounts(other.count[b]));
        }
    }
};

void binRefs(const ShapeRef* refs, uint32_t first, uint32_t end, const BinGrid& grid, Bins& bins) {
    for (uint32_t i = first; i < end; ++i) {
        const ShapeRef& ref = refs[i];
        int32_t at[4];
        binsOf(grid, ref, at);
        const Four lo = xyz(ref.box.lower);
        const Four hi = xyz(ref.box.upper);
        for (int k = 0; k < 3; ++k) {
            bins.box[k][at[k]].grow(lo, hi);
            ++bins.count[at[k]][k];
        }
    }
}

void binRun(const RefArrays& arrays, const ShapeRun& run, const BinGrid& grid, Bins& bins) {
    if (run.count() < arrays.sharedRun) {
        binRefs(arrays.refs, run.begin, run.end, grid, bins);
        return;
    }
    std::vector<Bins> pieces(piecesOf(run.count()), Bins(grid.bins));
    forPieces(arrays, run.begin, run.end, [&](uint32_t piece, uint32_t first, uint32_t last) {
        Bins part(grid.bins);
        binRefs(arrays.refs, first, last, grid, part);
        pieces[piece] = part;
    });
    for (const Bins& piece : pieces)
        bins.add(piece, grid.bins);
}

struct PlaneChoice {
    int axis = -1; // none
    int bin = 0;
    float cost = 0.0f; // of both sides, as areas times leaf steps
};

// Half the areas of three boxes, lane k axis k's box's: x y + y z + z x of
// its extents, as halfArea works it out.
Four halfAreas(const Box4 (&boxes)[3]) {
    Four x = boxes[0].upper - boxes[0].lower;
    Four y = boxes[1].upper - boxes[1].lower;
    Four z = boxes[2].upper - boxes[2].lower;
    transpose3(x, y, z);
    return x * y + y * z + z * x;
}

PlaneChoice cheapestPlane(const Bins& bins, const BinGrid& grid) {
    static_assert(mostInBvhLeaf == 8, "a side's leaf steps are its count in eighths");
    const int last = grid.bins - 1;
    // For every plane between bins, each side's cost and count, the three
    // axes a lane each, swept from either end at once.
    alignas(16) float lowerCost[mostBins][4];
    alignas(16) uint32_t lowerCount[mostBins][4];
    alignas(16) float cost[mostBins][4];
    alignas(16) uint32_t upperCount[mostBins][4];
    Box4 boxes[3];
    FourCounts count{};
    for (int b = 0; b < last; ++b) {
        for (int k = 0; k < 3; ++k)
            boxes[k].grow(bins.box[k][b]);
        count = count + loadCounts(bins.count[b]);
        store(lowerCost[b], halfAreas(boxes) * eighthsRoundedUp(count));
        store(lowerCount[b], count);
    }
    for (Box4& box : boxes)
        box = Box4{};
    count = FourCounts{};
    for (int b = last; b > 0; --b) {
        for (int k = 0; k < 3; ++k)
            boxes[k].grow(bins.box[k][b]);
        count = count + loadCounts(bins.count[b]);
        store(cost[b], load(lowerCost[b - 1]) + halfAreas(boxes) * eighthsRoundedUp(count));
        store(upperCount[b], count);
    }
    PlaneChoice best;
    for (int axis = 0; axis < 3; ++axis) {
        if (!grid.usable[axis])
            continue;
        for (int b = last; b > 0; --b)
            if (upperCount[b][axis] != 0 && lowerCount[b - 1][axis] != 0 &&
                (best.axis < 0 || cost[b][axis] < best.cost))
                best = {axis, b, cost[b][axis]};
    }
    return best;
}

int longestAxis(const Box& box) {
    int axis = 0;
    for (int k = 1; k < 3; ++k)
        axis = box.upper[k] - box.lower[k] > box.upper[axis] - box.lower[axis] ? k : axis;
    return axis;
}

// Cuts [begin, end) where goesLower says, in place, measuring each side on
// the way: where the upper side begins.
template <class GoesLower>
uint32_t cutInPlace(ShapeRef* refs, uint32_t begin, uint32_t end, GoesLower goesLower,
                    RunMeasure& lowMeasure, RunMeasure& highMeasure) {
    // Copies, so that the refs' swaps cannot be taken to write them and
    // they stay in registers.
    RunMeasure low = lowMeasure;
    RunMeasure high = highMeasure;
    uint32_t i = begin;
    uint32_t j = end;
    for (;;) {
        while (i < j && goesLower(refs[i]))
            low.add(refs[i++]);
        while (i < j && !goesLower(refs[j - 1]))
            high.add(refs[--j]);
        if (i == j)
            break;
        std::swap(refs[i], refs[j - 1]);
        low.add(refs[i++]);
        high.add(refs[--j]);
    }
    lowMeasure = low;
    highMeasure = high;
    return i;
}

template <class GoesLower>
void partitionInPlace(ShapeRef* refs, const ShapeRun& run, GoesLower goesLower, ShapeRun& lower,
                      ShapeRun& upper) {
    RunMeasure low;
    RunMeasure high;
    const uint32_t cut = cutInPlace(refs, run.begin, run.end, goesLower, low, high);
    lower = runOf(run.begin, cut, low);
    upper = runOf(cut, run.end, high);
}

// Refs that lie one after the other on the wrong side of a shared cut.
struct Strays {
    std::vector<uint32_t> first;
    std::vector<uint32_t> count;
    std::vector<uint32_t> before; // strays in the runs before each

    void add(uint32_t from, uint32_t end) {
        if (end <= from)
            return;
        before.push_back(before.empty() ? 0 : before.back() + count.back());
        first.push_back(from);
        count.push_back(end - from);
    }
    // The run holding stray k, counted across the runs in order.
    size_t runOf(uint32_t k) const {
        return std::upper_bound(before.begin(), before.end(), k) - before.begin() - 1;
    }
};

// The same for a long run on every thread, in place: each piece is cut on
// its own, then the upper side's refs that lie below the whole run's cut
// are swapped, in order, with the lower side's that lie above it. Each
// piece and each swap is the same on any number of threads, so the result
// is too.
template <class GoesLower>
void partitionShared(const RefArrays& arrays, const ShapeRun& run, GoesLower goesLower,
                     ShapeRun& lower, ShapeRun& upper) {
    const uint32_t pieces = piecesOf(run.count());
    const uint32_t pieceLength = pieceLengthOf(run.count());
    std::vector<uint32_t> cuts(pieces);
    std::vector<RunMeasure> low(pieces);
    std::vector<RunMeasure> high(pieces);
    forPieces(arrays, run.begin, run.end, [&](uint32_t piece, uint32_t first, uint32_t last) {
        RunMeasure lowPart;
        RunMeasure highPart;
        cuts[piece] = cutInPlace(arrays.refs, first, last, goesLower, lowPart, highPart);
        low[piece] = lowPart;
        high[piece] = highPart;
    });
    uint32_t cut = run.begin;
    for (uint32_t piece = 0; piece < pieces; ++piece)
        cut += cuts[piece] - (run.begin + piece * pieceLength);
    Strays upperBelow;
    Strays lowerAbove;
    RunMeasure lowWhole;
    RunMeasure highWhole;
    for (uint32_t piece = 0; piece < pieces; ++piece) {
        const uint32_t first = run.begin + piece * pieceLength;
        const uint32_t last = std::min(run.end, first + pieceLength);
        upperBelow.add(cuts[piece], std::min(last, cut));
        lowerAbove.add(std::max(first, cut), cuts[piece]);
        lowWhole.add(low[piece]);
        highWhole.add(high[piece]);
    }
    const uint32_t strays =
        upperBelow.count.empty() ? 0 : upperBelow.before.back() + upperBelow.count.back();
    runItems(*arrays.threads, (strays + pieceLength - 1) / pieceLength, [&](uint32_t piece) {
        uint32_t k = piece * pieceLength;
        const uint32_t end = std::min(strays, k + pieceLength);
        size_t u = upperBelow.runOf(k);
        size_t l = lowerAbove.runOf(k);
        uint32_t intoU = k - upperBelow.before[u];
        uint32_t intoL = k - lowerAbove.before[l];
        while (k < end) {
            const uint32_t step =
                std::min({end - k, upperBelow.count[u] - intoU, lowerAbove.count[l] - intoL});
            ShapeRef* const a = arrays.refs + upperBelow.first[u] + intoU;
            std::swap_ranges(a, a + step, arrays.refs + lowerAbove.first[l] + intoL);
            k += step;
            intoU += step;
            intoL += step;
            if (intoU == upperBelow.count[u]) {
                ++u;
                intoU = 0;
            }
            if (intoL == lowerAbove.count[l]) {
                ++l;
                intoL = 0;
            }
        }
    });
    lower = runOf(run.begin, cut, lowWhole);
    upper = runOf(cut, run.end, highWhole);
}

} // namespace

uint32_t sharedRunFor(uint32_t count) {
    return std::clamp(count / 4, longestPiece, 4 * longestPiece);
}

ShapeRun measureRun(const RefArrays& arrays, uint32_t count) {
    return runOf(0, count, measure(arrays, 0, count));
}

SplitPlan planSplit(const RefArrays& arrays, const ShapeRun& run, uint32_t depth) {
    const uint32_t count = run.count();
    const bool oneKind = run.spheres == 0 || run.spheres == count;
    const bool fits = count <= mostInBvhLeaf;
    if (count <= 1 || (fits && oneKind && depth >= bvhSahDepth))
        return {SplitPlan::Leaf};
    // A leaf holds one kind.
    if (fits && !oneKind)
        return {SplitPlan::ByKind};
    // Deep down, halving the count keeps the walk's stack bounded.
    if (depth >= bvhSahDepth)
        return {SplitPlan::ByCount};
    const BinGrid grid = gridOf(run.centres, count);
    Bins bins(grid.bins);
    binRun(arrays, run, grid, bins);
    const PlaneChoice plane = cheapestPlane(bins, grid);
    const float leafCost = leafStepCost * leafSteps(count);
    const float splitCost =
        nodeCost + leafStepCost * plane.cost / std::max(halfArea(run.bounds), 1e-30f);
    if (fits && (plane.axis < 0 || leafCost <= splitCost))
        return {SplitPlan::Leaf};
    if (plane.axis < 0)
        return {SplitPlan::ByCount}; // every centre in one point
    return {SplitPlan::ByPlane, plane.axis, plane.bin};
}

void applySplit(const RefArrays& arrays, const ShapeRun& run, const SplitPlan& plan,
                ShapeRun& lower, ShapeRun& upper) {
    if (plan.kind == SplitPlan::ByPlane) {
        const BinGrid grid = gridOf(run.centres, run.count());
        const auto goesLower = [&](const ShapeRef& ref) {
            int32_t bins[4];
            binsOf(grid, ref, bins);
            return bins[plan.axis] < plan.bin;
        };
        if (run.count() >= arrays.sharedRun)
            partitionShared(arrays, run, goesLower, lower, upper);
        else
            partitionInPlace(arrays.refs, run, goesLower, lower, upper);
        return;
    }
    ShapeRef* const first = arrays.refs + run.begin;
    ShapeRef* const end = arrays.refs + run.end;
    uint32_t middle;
    if (plan.kind == SplitPlan::ByKind) {
        middle = static_cast<uint32_t>(
            std::partition(first, end, [](const ShapeRef& ref) { return ref.sphere != 0; }) -
            first);
    } else {
        const int axis = longestAxis(run.centres);
        middle = run.count() / 2;
        std::nth_element(first, first + middle, end, [&](const ShapeRef& a, const ShapeRef& b) {
            return doubledCentre(a, axis) < doubledCentre(b, axis);
        });
    }
    lower = runOf(run.begin, run.begin + middle, measure(arrays, run.begin, run.begin + middle));
    upper = runOf(run.begin + middle, run.end, measure(arrays, run.begin + middle, run.end));
}

} // namespace vantrel
