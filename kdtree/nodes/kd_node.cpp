#include "vantrel/kdtree/nodes/kd_node.h"

#include <cmath>
#include <new>

#include "vantrel/scene/buildable.h"
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

} // namespace

CKdNode::~CKdNode() {
    delete left;
    delete right;
    left = nullptr;
    right = nullptr;
    primitives.clear();
}

CKdNode* makeNode(BuildContext& context) {
    return ::new (context.nodes.take()) CKdNode(context);
}

void CKdNode::operator delete(void* node, std::size_t size) noexcept {
    if (size != sizeof(CKdNode))
        ::operator delete(node);
}

namespace {

void growByShape(float lo[3], float hi[3], const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        // The hit test squares the radius, so a negative one is drawn at
        // its magnitude and must be bounded by it.
        const float radius = std::fabs(s.radius);
        const Vector3 r{radius, radius, radius};
        growBox(lo, hi, s.centre - r, s.centre + r);
    } else if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        growBox(lo, hi, t.V0, t.V0);
        growBox(lo, hi, t.V1, t.V1);
        growBox(lo, hi, t.V2, t.V2);
    }
}

void emptyBox(float lo[3], float hi[3]) {
    for (int k = 0; k < 3; ++k) {
        lo[k] = largestFloat;
        hi[k] = -largestFloat;
    }
}

} // namespace

void computeBounds(CKdNode& node) {
    emptyBox(node.boundsMin, node.boundsMax);
    for (const PrimitiveRef& ref : node.primitives)
        growByShape(node.boundsMin, node.boundsMax, ref);
}

void boundsOfBuildable(const PrimitiveList& list, float boundsMin[3], float boundsMax[3]) {
    emptyBox(boundsMin, boundsMax);
    for (uint32_t i = 0; i < list.count; ++i) {
        if (isBuildable(list.items[i]))
            growByShape(boundsMin, boundsMax, list.items[i]);
    }
}

} // namespace vantrel
