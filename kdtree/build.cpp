#include "kdtree/build.h"

#include <cmath>

#include "kdtree/kd_node.h"
#include "kdtree/split_cost.h"
#include "kdtree/split_midpoint.h"
#include "scene/vector_ops.h"

namespace vantrel {

namespace {

bool finiteSpan(float lo, float hi) {
    return std::isfinite(lo) && std::isfinite(hi);
}

// A nested tree in a leaf would start a walk inside the walk and overwrite
// its single working storage. A shape that is not finite cannot be hit, but
// would stretch the root box to infinity, and a NaN plane sends every entry
// to both children.
bool isBuildable(const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        for (int k = 0; k < 3; ++k) {
            const float c = component(s.centre, k);
            if (!finiteSpan(c - s.radius, c + s.radius))
                return false;
        }
        return true;
    }
    if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        for (int k = 0; k < 3; ++k) {
            if (!finiteSpan(component(t.V0, k), component(t.V1, k)) ||
                !std::isfinite(component(t.V2, k)))
                return false;
        }
        return true;
    }
    return false;
}

} // namespace

void buildKdTree(KdTree** out, const PrimitiveList* list, int32_t method) {
    if (method < 0 || method > 2) {
        *out = nullptr;
        return;
    }
    // The handler makes sure the node tree is unwound and released even when
    // nothing further up catches the failure.
    try {
        CKdNode root;
        for (uint32_t i = 0; i < list->count; ++i) {
            if (isBuildable(list->items[i]))
                root.primitives.push_front(list->items[i]);
        }
        computeBounds(root);
        // In a box that is a single point no plane separates anything and no
        // node is ever thinner than the root: every level would copy the whole
        // list into both children, 2^20 times over.
        const bool point = root.boundsMin[0] == root.boundsMax[0] &&
                           root.boundsMin[1] == root.boundsMax[1] &&
                           root.boundsMin[2] == root.boundsMax[2];
        const int32_t depth = point ? 0 : maxDepth;
        if (method == 0)
            splitMidpoint(root, root, depth);
        else
            splitByCost(root, root, depth, method);
        compileKdTree(root, out);
    } catch (...) {
        throw;
    }
}

} // namespace vantrel
