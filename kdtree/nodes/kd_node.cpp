#include "vantrel/kdtree/nodes/kd_node.h"

#include <cmath>
#include <new>

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

} // namespace vantrel
