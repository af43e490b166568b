#include "vantrel/tracer/triangle_lanes.h"

#include <cmath>

#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/kernel_table.h"

namespace vantrel {

uint32_t nearestTriangle(const TriangleGroup* groups, uint32_t count, const Ray& ray,
                         float& distance) {
    return kernelInUse.nearestTriangle(groups, count, ray, distance);
}

void recordTriangleHit(const TriangleGroup* groups, uint32_t ordinal, float distance,
                       HitRecord& record) {
    const TriangleGroup& group = groups[ordinal / triangleGroupLanes];
    const uint32_t lane = ordinal % triangleGroupLanes;
    const Vector3 n{group.nx[lane], group.ny[lane], group.nz[lane]};
    const float scale = 1.0f / std::sqrt(dot(n, n));
    record.normal = n * scale;
    record.distance = distance;
    record.material = group.triangle[lane]->material;
}

} // namespace vantrel
