#include "vantrel/tracer/sphere_lanes.h"

#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/sphere_test.h"

namespace vantrel {

uint32_t nearestSphere(const SphereGroup* groups, uint32_t count, const Ray& ray, float& distance) {
    return kernelInUse.nearestSphere(groups, count, ray, distance);
}

void recordSphereHit(const SphereGroup* groups, uint32_t entry, const Ray& ray, float distance,
                     HitRecord& record) {
    const SphereGroup& group = groups[entry / sphereGroupLanes];
    const uint32_t lane = entry % sphereGroupLanes;
    const Vector3 centre{group.x[lane], group.y[lane], group.z[lane]};
    // An accepted far root never lies below b, the roots' midpoint, and an
    // accepted near root never above it; so this tells the side without the
    // square root of the full test.
    const bool inside = distance > -dot(ray.origin - centre, ray.direction);
    record.normal = sphereNormal(ray.origin, ray.direction, centre, distance, inside);
    record.distance = distance;
    record.material = group.sphere[lane]->material;
}

} // namespace vantrel
