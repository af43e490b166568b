#include "vantrel/kdtree/nodes/child_step.h"

#include <cstring>

#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/sphere_sides.h"

namespace vantrel {

namespace {

bool touchesBox(const PrimitiveRef& ref, const float boxMin[3], const float boxMax[3]) {
    if (ref.type == PrimitiveType::Sphere)
        return sphereTouchesBox(*static_cast<const Sphere*>(ref.object), boxMin, boxMax);
    if (ref.type == PrimitiveType::Triangle)
        return triangleTouchesBox(*static_cast<const Triangle*>(ref.object), boxMin, boxMax);
    return false;
}

uint8_t sidesOf(const PrimitiveRef& ref, const ChildBoxes& boxes) {
    return static_cast<uint8_t>((touchesBox(ref, boxes.lowerMin, boxes.lowerMax) ? childLower : 0) |
                                (touchesBox(ref, boxes.upperMin, boxes.upperMax) ? childUpper : 0));
}

// Per four bits, one byte each: the sides of four entries at once.
constexpr uint32_t spreadBits(uint32_t bits) {
    return (bits & 1) | (bits & 2) << 7 | (bits & 4) << 14 | (bits & 8) << 21;
}

struct FourSides {
    uint32_t lower[16];
    uint32_t upper[16];
    uint32_t count[16];
    constexpr FourSides() : lower(), upper(), count() {
        for (uint32_t bits = 0; bits < 16; ++bits) {
            lower[bits] = spreadBits(bits) * childLower;
            upper[bits] = spreadBits(bits) * childUpper;
            count[bits] = (bits & 1) + (bits >> 1 & 1) + (bits >> 2 & 1) + (bits >> 3);
        }
    }
};

constexpr FourSides fourSides;

// Fills sides (one per entry of node's list, in list order), counts the
// entries each child gets and keeps the list's runs.
template <int Axis>
ChildSideCounts decideSides(const CKdNode& node, const ChildBoxes& boxes,
                            ChildStepScratch& scratch) {
    ChildSideCounts counts;
    const SphereSideBoxes<Axis> sphereBoxes(boxes);
    const ListEntry* const entries = node.context().lists.data();
    uint8_t* sides = scratch.sides.data();
    scratch.runs.clear();
    forEachListRun(node.primitives, [&](uint32_t first, uint32_t length) {
        scratch.runs.push_back({first, length});
        const ListEntry* const run = entries + first;
        uint32_t i = 0;
        for (; i + sphereSideLanes <= length; i += sphereSideLanes, sides += sphereSideLanes) {
            // The shapes lie scattered in memory; ask for them a few steps early.
            constexpr uint32_t ahead = 16;
            if (i + ahead + sphereSideLanes <= length) {
                for (uint32_t k = 0; k < sphereSideLanes; ++k)
                    __builtin_prefetch(run[i + ahead + k].object);
            }
            const ListEntry* four = run + i;
            if (four[0].type == PrimitiveType::Sphere && four[1].type == PrimitiveType::Sphere &&
                four[2].type == PrimitiveType::Sphere && four[3].type == PrimitiveType::Sphere) {
                const uint32_t bits = sphereSides(four, sphereBoxes);
                const uint32_t lowerBits = bits & 15;
                const uint32_t upperBits = bits >> sphereSideLanes;
                const uint32_t packed = fourSides.lower[lowerBits] | fourSides.upper[upperBits];
                std::memcpy(sides, &packed, sizeof packed);
                counts.lower += fourSides.count[lowerBits];
                counts.upper += fourSides.count[upperBits];
                continue;
            }
            for (uint32_t k = 0; k < sphereSideLanes; ++k) {
                sides[k] = sidesOf(four[k].ref(), boxes);
                counts.lower += sides[k] & childLower;
                counts.upper += (sides[k] & childUpper) >> 1;
            }
        }
        for (; i < length; ++i, ++sides) {
            *sides = sidesOf(run[i].ref(), boxes);
            counts.lower += *sides & childLower;
            counts.upper += (*sides & childUpper) >> 1;
        }
    });
    return counts;
}

// Adds the entries of node to its children's lists, as front insertions in
// list order would, each to the children its side names.
void fillChildren(const CKdNode& node, const ChildStepScratch& scratch, ChildSideCounts counts) {
    ListStore& store = node.context().lists;
    store.reserve(counts.lower + counts.upper);
    FrontRun lower(node.left->primitives, counts.lower);
    FrontRun upper(node.right->primitives, counts.upper);
    const uint8_t* sides = scratch.sides.data();
    for (const ChildStepScratch::Run& stretch : scratch.runs) {
        const ListEntry* const run = &store.entry(stretch.first);
        // Branches here cost the build of the 250,000 demo spheres a sixth
        // of its time: which side an entry goes to is as good as random.
        for (uint32_t i = 0; i < stretch.length; ++i, ++sides) {
            lower.pushIf(run[i].ref(), (*sides & childLower) != 0);
            upper.pushIf(run[i].ref(), (*sides & childUpper) != 0);
        }
    }
}

} // namespace

void createChildren(CKdNode& node) {
    ChildStepScratch scratch;
    createChildren(node, scratch);
}

void createChildren(CKdNode& node, ChildStepScratch& scratch) {
    BuildContext& context = node.context();
    context.chargeChildNodes();
    node.left = makeNode(context);
    node.right = makeNode(context);
    CKdNode& lower = *node.left;
    CKdNode& upper = *node.right;
    for (int k = 0; k < 3; ++k) {
        lower.boundsMin[k] = upper.boundsMin[k] = node.boundsMin[k];
        lower.boundsMax[k] = upper.boundsMax[k] = node.boundsMax[k];
    }
    lower.boundsMax[node.axis] = node.split;
    upper.boundsMin[node.axis] = node.split;
    // Each entry's sides are decided in one pass; then each child's list is
    // written as one run of its own, so that it lies together in memory and
    // the next level reads it as one dense stream. Same entries, same order,
    // same links as one front insertion after another.
    const ChildSideCounts counts = decideChildSides(node, node.axis, node.split, scratch);
    // Both children's entries, charged before either list grows.
    context.chargeListEntries(uint64_t{counts.lower} + counts.upper);
    fillChildren(node, scratch, counts);
}

ChildSideCounts decideChildSides(const CKdNode& node, int32_t axis, float split,
                                 ChildStepScratch& scratch) {
    ChildBoxes boxes;
    for (int k = 0; k < 3; ++k) {
        boxes.lowerMin[k] = boxes.upperMin[k] = node.boundsMin[k];
        boxes.lowerMax[k] = boxes.upperMax[k] = node.boundsMax[k];
    }
    boxes.lowerMax[axis] = split;
    boxes.upperMin[axis] = split;
    scratch.sides.resize(node.primitives.size());
    switch (axis) {
    case 0:
        return decideSides<0>(node, boxes, scratch);
    case 1:
        return decideSides<1>(node, boxes, scratch);
    default:
        return decideSides<2>(node, boxes, scratch);
    }
}

} // namespace vantrel
