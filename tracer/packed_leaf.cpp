#include "vantrel/tracer/packed_leaf.h"

#include <cmath>

#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/sphere_test.h"
#include "vantrel/tracer/trace_context.h"

namespace vantrel {

int intersectLeaf(TraceContext& context, const KdTree& tree, uint32_t leaf, const Ray& ray) {
    const PrimitiveList& list = tree.leaves[leaf];
    if (tree.leafShapes == nullptr || !isPacked(tree.leafShapes[leaf]))
        return intersectList(context, list, ray);
    const LeafShapes& shapes = tree.leafShapes[leaf];
    context.hit.distance = noHitDistance;
    float sphereDistance = noHitDistance;
    float triangleDistance = noHitDistance;
    const SphereGroup* spheres = sphereGroupsOf(tree, shapes);
    const TriangleGroup* triangles = triangleGroupsOf(tree, shapes);
    // Each kind's nearest, in the lanes of the kernel in use
    // (tracer/leaf_kernel.h).
    const uint32_t sphere =
        spheres != nullptr
            ? kernelInUse.nearestSphere(spheres, shapes.sphereCount, ray, sphereDistance)
            : noEntry;
    const uint32_t triangle =
        triangles != nullptr
            ? kernelInUse.nearestTriangle(triangles, shapes.triangleCount, ray, triangleDistance)
            : noEntry;
    if (triangleWins(list, sphere, sphereDistance, triangle, triangleDistance)) {
        recordTriangleHit(triangles, triangle, triangleDistance, context.hit);
        return 1;
    }
    if (sphere == noEntry)
        return 0;
    recordSphereHit(spheres, sphere, ray, sphereDistance, context.hit);
    return 1;
}

const Material* recordSphereHitButMaterial(const SphereGroup* groups, uint32_t entry,
                                           const Ray& ray, float distance, HitRecord& record) {
    const SphereGroup& group = groups[entry / sphereGroupLanes];
    const uint32_t lane = entry % sphereGroupLanes;
    const Vector3 centre{group.x[lane], group.y[lane], group.z[lane]};
    // An accepted far root never lies below b, the roots' midpoint, and an
    // accepted near root never above it; so this tells the side without the
    // square root of the full test.
    const bool inside = distance > -dot(ray.origin - centre, ray.direction);
    record.normal = sphereNormal(ray.origin, ray.direction, centre, distance, inside);
    record.distance = distance;
    return &group.sphere[lane]->material;
}

void recordSphereHit(const SphereGroup* groups, uint32_t entry, const Ray& ray, float distance,
                     HitRecord& record) {
    record.material = *recordSphereHitButMaterial(groups, entry, ray, distance, record);
}

const Material* recordTriangleHitButMaterial(const TriangleGroup* groups, uint32_t ordinal,
                                             float distance, HitRecord& record) {
    const TriangleGroup& group = groups[ordinal / triangleGroupLanes];
    const uint32_t lane = ordinal % triangleGroupLanes;
    const Vector3 n{group.nx[lane], group.ny[lane], group.nz[lane]};
    const float scale = 1.0f / std::sqrt(dot(n, n));
    record.normal = n * scale;
    record.distance = distance;
    return &group.triangle[lane]->material;
}

void recordTriangleHit(const TriangleGroup* groups, uint32_t ordinal, float distance,
                       HitRecord& record) {
    record.material = *recordTriangleHitButMaterial(groups, ordinal, distance, record);
}

bool sphereComesFirst(const PrimitiveList& list, uint32_t sphere, uint32_t triangle) {
    uint32_t spheres = 0;
    uint32_t triangles = 0;
    for (uint32_t i = 0; i < list.count; ++i) {
        if (list.items[i].type == PrimitiveType::Sphere && spheres++ == sphere)
            return true;
        if (list.items[i].type == PrimitiveType::Triangle && triangles++ == triangle)
            return false;
    }
    return false;
}

} // namespace vantrel
