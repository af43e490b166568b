#include "vantrel/tracer/intersect.h"

#include <cmath>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/sphere_test.h"
#include "vantrel/tracer/trace_context.h"
#include "vantrel/tracer/traverse.h"

namespace vantrel {

namespace {

void record(HitRecord& hit, float distance, const Vector3& normal, const Material& material) {
    const float scale = 1.0f / std::sqrt(dot(normal, normal));
    hit.normal = normal * scale;
    hit.distance = distance;
    hit.material = material;
}

} // namespace

bool intersectTriangle(const Ray& ray, const Vector3& V0, const Vector3& V1, const Vector3& V2,
                       float& t, float& weight1, float& weight2, Vector3& normal) {
    const Vector3& o = ray.origin;
    const Vector3& d = ray.direction;
    const Vector3 e1 = V1 - V0;
    const Vector3 e2 = V2 - V0;
    normal = cross(e1, e2);

    // The bound is on the unnormalised product on purpose: slivers below it
    // are treated as edge-on.
    const float den = -dot(normal, d);
    if (den > -minHitDistance && den < minHitDistance) {
        return false;
    }
    const float inv = 1.0f / den;
    const Vector3 w = V0 - o;
    const Vector3 q = cross(d, w);

    weight2 = -dot(V1 - o, q) * inv;
    if (weight2 < 0.0f || weight2 > 1.0f) {
        return false;
    }
    weight1 = dot(V2 - o, q) * inv;
    if (weight1 < 0.0f || weight1 + weight2 > 1.0f) {
        return false;
    }
    t = -dot(w, normal) * inv;
    return t >= minHitDistance;
}

int intersectList(TraceContext& context, const PrimitiveList& list, const Ray& ray) {
    HitRecord& nearest = context.hit;
    nearest.distance = noHitDistance;
    int hit = 0;
    const Vector3& o = ray.origin;
    const Vector3& d = ray.direction;

    for (uint32_t i = 0; i < list.count; ++i) {
        const PrimitiveRef& ref = list.items[i];
        switch (ref.type) {
        case PrimitiveType::Sphere: {
            // The innermost test of every leaf: kept in line, no call.
            const Sphere& sphere = *static_cast<const Sphere*>(ref.object);
            float candidate;
            bool inside;
            if (!sphereCandidate(o, d, sphere.centre, sphere.radius, candidate, inside) ||
                !(candidate < nearest.distance)) {
                break;
            }
            nearest.normal = sphereNormal(o, d, sphere.centre, candidate, inside);
            nearest.distance = candidate;
            nearest.material = sphere.material;
            hit = 1;
            break;
        }
        case PrimitiveType::Triangle: {
            const Triangle& tri = *static_cast<const Triangle*>(ref.object);
            float t;
            float weight1;
            float weight2;
            Vector3 n;
            if (intersectTriangle(ray, tri.V0, tri.V1, tri.V2, t, weight1, weight2, n) &&
                t < nearest.distance) {
                record(nearest, t, n, tri.material);
                hit = 1;
            }
            break;
        }
        case PrimitiveType::NestedTree: {
            const KdTree& tree = *static_cast<const KdTree*>(ref.object);
            if (hit == 0) {
                // Nothing to keep aside, as for a list of the scene's tree
                // alone: copying the record here would stall on the write
                // of its distance just above.
                if (intersectKdTree(context, tree, ray) != 0)
                    return 1;
                // A walk that accepted nothing may still leave a leaf's
                // rejected distance behind; later entries must not be
                // measured against it.
                nearest.distance = noHitDistance;
                break;
            }
            // The walk resets the record for every leaf it tests, so an
            // earlier hit of this list is kept aside and wins when nearer.
            const HitRecord before = nearest;
            const int treeHit = intersectKdTree(context, tree, ray);
            if (treeHit == 0 || before.distance <= nearest.distance)
                nearest = before;
            if (treeHit != 0)
                return 1;
            break;
        }
        default:
            break;
        }
    }
    return hit;
}

int intersectList(const PrimitiveList& list, const Ray& ray) {
    const int hit = intersectList(programTraceContext, list, ray);
    addRayCounts(programTraceContext);
    return hit;
}

} // namespace vantrel
