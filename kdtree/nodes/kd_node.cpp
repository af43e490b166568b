#include "vantrel/kdtree/nodes/kd_node.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "vantrel/kdtree/build_budget.h"
#include "vantrel/kdtree/memory/block_pool.h"
#include "vantrel/kdtree/nodes/sphere_sides.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

constexpr float largestFloat = 3.40282347e38f;

// Widens [lo, hi] on every axis to take in [vMin, vMax].
void growBox(float lo[3], float hi[3], const Vector3& vMin, const Vector3& vMax) {
    for (int k = 0; k < 3; ++k) {
        if (lo[k] > component(vMin, k))
            lo[k] = component(vMin, k);
        if (hi[k] < component(vMax, k))
            hi[k] = component(vMax, k);
    }
}

// The pool every node made by the child step comes from.
BlockPool& nodePool() {
    static BlockPool pool(sizeof(CKdNode), alignof(CKdNode));
    return pool;
}

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
    uint8_t* sides = scratch.sides.data();
    scratch.runs.clear();
    forEachListRun(node.primitives, [&](uint32_t first, uint32_t length) {
        scratch.runs.push_back({first, length});
        const ListEntry* const run = &listEntry(first);
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
    reserveListEntries(counts.lower + counts.upper);
    FrontRun lower(node.left->primitives, counts.lower);
    FrontRun upper(node.right->primitives, counts.upper);
    const uint8_t* sides = scratch.sides.data();
    for (const ChildStepScratch::Run& stretch : scratch.runs) {
        const ListEntry* const run = &listEntry(stretch.first);
        for (uint32_t i = 0; i < stretch.length; ++i, ++sides) {
            lower.pushIf(run[i].ref(), (*sides & childLower) != 0);
            upper.pushIf(run[i].ref(), (*sides & childUpper) != 0);
        }
    }
}

} // namespace

CKdNode::~CKdNode() {
    delete left;
    delete right;
    left = nullptr;
    right = nullptr;
    primitives.clear();
}

void computeBounds(CKdNode& node) {
    for (int k = 0; k < 3; ++k) {
        node.boundsMin[k] = largestFloat;
        node.boundsMax[k] = -largestFloat;
    }
    for (const PrimitiveRef& ref : node.primitives) {
        if (ref.type == PrimitiveType::Sphere) {
            const Sphere& s = *static_cast<const Sphere*>(ref.object);
            // The hit test squares the radius, so a negative one is drawn at
            // its magnitude and must be bounded by it.
            const float radius = std::fabs(s.radius);
            const Vector3 r{radius, radius, radius};
            growBox(node.boundsMin, node.boundsMax, s.centre - r, s.centre + r);
        } else if (ref.type == PrimitiveType::Triangle) {
            const Triangle& t = *static_cast<const Triangle*>(ref.object);
            growBox(node.boundsMin, node.boundsMax, t.V0, t.V0);
            growBox(node.boundsMin, node.boundsMax, t.V1, t.V1);
            growBox(node.boundsMin, node.boundsMax, t.V2, t.V2);
        }
    }
}

bool sphereTouchesBox(const Sphere& sphere, const float boxMin[3], const float boxMax[3]) {
    float d = 0.0f;
    for (int k = 0; k < 3; ++k)
        d += sphereGapSquared(component(sphere.centre, k), boxMin[k], boxMax[k]);
    return sphere.radius * sphere.radius >= d;
}

void createChildren(CKdNode& node) {
    ChildStepScratch scratch;
    createChildren(node, scratch);
}

void* CKdNode::operator new(std::size_t size) {
    if (size != sizeof(CKdNode))
        return ::operator new(size);
    return nodePool().take();
}

void CKdNode::operator delete(void* node, std::size_t size) noexcept {
    if (size != sizeof(CKdNode))
        ::operator delete(node);
    else
        nodePool().give(node);
}

void createChildren(CKdNode& node, ChildStepScratch& scratch) {
    chargeChildNodes();
    node.left = new CKdNode;
    node.right = new CKdNode;
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
    chargeListEntries(uint64_t{counts.lower} + counts.upper);
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
