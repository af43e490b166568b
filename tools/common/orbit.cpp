#include "tools/common/orbit.h"

#include <algorithm>
#include <cmath>

#include "vantrel/scene/vector_ops.h"

namespace vantrel {

namespace {

void include(BoundingBox& box, const Vector3& point) {
    box.min = {std::min(box.min.x, point.x), std::min(box.min.y, point.y),
               std::min(box.min.z, point.z)};
    box.max = {std::max(box.max.x, point.x), std::max(box.max.y, point.y),
               std::max(box.max.z, point.z)};
}

} // namespace

bool triangleCanBeHit(const Triangle& t) {
    if (!isFinite(t.V0) || !isFinite(t.V1) || !isFinite(t.V2))
        return false;
    const double e1[3] = {double{t.V1.x} - t.V0.x, double{t.V1.y} - t.V0.y,
                          double{t.V1.z} - t.V0.z};
    const double e2[3] = {double{t.V2.x} - t.V0.x, double{t.V2.y} - t.V0.y,
                          double{t.V2.z} - t.V0.z};
    return e1[1] * e2[2] - e1[2] * e2[1] != 0.0 || e1[2] * e2[0] - e1[0] * e2[2] != 0.0 ||
           e1[0] * e2[1] - e1[1] * e2[0] != 0.0;
}

bool triangleBounds(const PrimitiveList& list, BoundingBox& box) {
    bool found = false;
    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        if (ref.type != PrimitiveType::Triangle ||
            !triangleCanBeHit(*static_cast<const Triangle*>(ref.object)))
            continue;
        const Triangle& triangle = *static_cast<const Triangle*>(ref.object);
        if (!found) {
            box = {triangle.V0, triangle.V0};
            found = true;
        }
        include(box, triangle.V0);
        include(box, triangle.V1);
        include(box, triangle.V2);
    }
    return found;
}

Matrix4 frameBox(const Matrix4& orbitCamera, const BoundingBox& box) {
    const float centre[3] = {(box.min.x + box.max.x) * 0.5f, (box.min.y + box.max.y) * 0.5f,
                             (box.min.z + box.max.z) * 0.5f};
    const float halfExtent =
        std::max({box.max.x - box.min.x, box.max.y - box.min.y, box.max.z - box.min.z}) * 0.5f;
    // A flat or point-like mesh still gets a usable distance.
    const float scale =
        std::isfinite(halfExtent) && halfExtent > 0.0f ? halfExtent / demoHalfExtent : 1.0f;
    Matrix4 camera = orbitCamera;
    for (int k = 0; k < 3; ++k)
        camera.m[12 + k] = centre[k] + orbitCamera.m[12 + k] * scale;
    return camera;
}

} // namespace vantrel
