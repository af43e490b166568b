#include "kdtree/kd_node.h"

#include <cmath>
#include <vector>

#include "kdtree/build_budget.h"
#include "kdtree/pool_allocator.h"
#include "kdtree/sphere_sides.h"
#include "scene/vector_ops.h"

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

// One axis's share of the squared distance from a centre coordinate c to the
// slab [lo, hi]. Adding 0 inside the slab leaves a sum of squares unchanged.
float gapSquared(float c, float lo, float hi) {
    if (lo > c) {
        const float e = c - lo;
        return e * e;
    }
    if (c > hi) {
        const float e = c - hi;
        return e * e;
    }
    return 0.0f;
}

// The pool every node made by the child step comes from.
BlockPool& nodePool() {
    static BlockPool pool(sizeof(CKdNode), alignof(CKdNode));
    return pool;
}

// Writes the sides of the batched spheres into sides.
void settleSpheres(const Sphere* spheres[sphereSideLanes], const uint32_t positions[],
                   uint32_t count, const ChildBoxes& boxes, uint8_t* sides) {
    for (uint32_t i = count; i < sphereSideLanes; ++i)
        spheres[i] = &unmatchedSphere;
    const uint32_t bits = sphereSides(spheres, boxes);
    for (uint32_t i = 0; i < count; ++i) {
        sides[positions[i]] = static_cast<uint8_t>(
            ((bits >> i) & 1) * childLower | ((bits >> (sphereSideLanes + i)) & 1) * childUpper);
    }
}

// Fills sides (one per entry of node's list) and returns how many entries go
// to each child: lower in the low half, upper in the high half.
uint64_t decideSides(const CKdNode& node, const ChildBoxes& boxes, uint8_t* sides) {
    const Sphere* batch[sphereSideLanes];
    uint32_t batchPositions[sphereSideLanes];
    uint32_t batched = 0;
    uint32_t position = 0;
    const ListEntry* const storeEnd = listStore.entries + listStore.used;
    forEachListEntry(node.primitives, [&](const ListEntry& entry) {
        // The shapes lie scattered in memory; ask for each a few entries early.
        // Within a run the entries ahead are the list's own.
        constexpr uint32_t ahead = 16;
        if (&entry + ahead < storeEnd)
            __builtin_prefetch((&entry + ahead)->ref.object);
        const PrimitiveRef& ref = entry.ref;
        if (ref.type == PrimitiveType::Sphere) {
            batch[batched] = static_cast<const Sphere*>(ref.object);
            batchPositions[batched] = position;
            if (++batched == sphereSideLanes) {
                settleSpheres(batch, batchPositions, batched, boxes, sides);
                batched = 0;
            }
        } else if (ref.type == PrimitiveType::Triangle) {
            const Triangle& triangle = *static_cast<const Triangle*>(ref.object);
            sides[position] = static_cast<uint8_t>(
                (triangleTouchesBox(triangle, boxes.lowerMin, boxes.lowerMax) ? childLower : 0) |
                (triangleTouchesBox(triangle, boxes.upperMin, boxes.upperMax) ? childUpper : 0));
        } else {
            sides[position] = 0;
        }
        ++position;
    });
    if (batched != 0)
        settleSpheres(batch, batchPositions, batched, boxes, sides);
    uint32_t lower = 0;
    uint32_t upper = 0;
    for (uint32_t i = 0; i < position; ++i) {
        lower += sides[i] & childLower;
        upper += (sides[i] & childUpper) >> 1;
    }
    return uint64_t{upper} << 32 | lower;
}

// Adds to child, as front insertions in list order would, the entries of
// parent whose side holds side. child's list must be empty.
void fillChild(const CKdNode& parent, const uint8_t* sides, uint8_t side, uint32_t first,
               uint32_t count) {
    if (count == 0)
        return;
    // The k-th insertion lands k places from the back of the run.
    ListEntry* back = &listEntry(first) + count;
    uint32_t position = 0;
    forEachListEntry(parent.primitives, [&](const ListEntry& entry) {
        if (sides[position++] & side)
            (--back)->ref = entry.ref;
    });
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
        d += gapSquared(component(sphere.centre, k), boxMin[k], boxMax[k]);
    return sphere.radius * sphere.radius >= d;
}

bool triangleTouchesBox(const Triangle& triangle, const float boxMin[3], const float boxMax[3]) {
    // Rejects only on a separating box face: cheap, and never loses a triangle
    // that does touch the box.
    for (int k = 0; k < 3; ++k) {
        const float a = component(triangle.V0, k);
        const float b = component(triangle.V1, k);
        const float c = component(triangle.V2, k);
        if (a < boxMin[k] && b < boxMin[k] && c < boxMin[k])
            return false;
        if (a > boxMax[k] && b > boxMax[k] && c > boxMax[k])
            return false;
    }
    return true;
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
    ChildBoxes boxes;
    for (int k = 0; k < 3; ++k) {
        boxes.lowerMin[k] = lower.boundsMin[k];
        boxes.lowerMax[k] = lower.boundsMax[k];
        boxes.upperMin[k] = upper.boundsMin[k];
        boxes.upperMax[k] = upper.boundsMax[k];
    }
    scratch.sides.resize(node.primitives.size());
    const uint64_t counts = decideSides(node, boxes, scratch.sides.data());
    const uint32_t lowerCount = static_cast<uint32_t>(counts);
    const uint32_t upperCount = static_cast<uint32_t>(counts >> 32);
    // Both children's entries, charged before either list grows.
    chargeListEntries(uint64_t{lowerCount} + upperCount);
    const uint32_t lowerFirst = lower.primitives.pushFrontRun(lowerCount);
    const uint32_t upperFirst = upper.primitives.pushFrontRun(upperCount);
    fillChild(node, scratch.sides.data(), childLower, lowerFirst, lowerCount);
    fillChild(node, scratch.sides.data(), childUpper, upperFirst, upperCount);
}

} // namespace vantrel
