#include "vantrel/tracer/shade.h"

#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/trace_context.h"

namespace vantrel {

void shade(TraceContext& context, const PrimitiveList& reflectList, const PrimitiveList& list,
           int32_t depth, const Ray& ray, float weight) {
    if (intersectList(context, list, ray) == 0) {
        return;
    }
    shadeHit(context, reflectList, depth, ray, weight);
}

void shade(const PrimitiveList& reflectList, const PrimitiveList& list, int32_t depth,
           const Ray& ray, float weight) {
    shade(programTraceContext, reflectList, list, depth, ray, weight);
    addRayCounts(programTraceContext);
}

void shadeHit(TraceContext& context, const PrimitiveList& reflectList, int32_t depth,
              const Ray& ray, float weight) {
    const HitRecord& hit = context.hit;
    const Vector3 n = hit.normal;

    // Light towards (0.707, -0.707, 0) plus ambient 0.7, evaluated in double
    // and kept as float so every build gives the same pixels. Not clamped:
    // faces turned away darken below the ambient level.
    const float light = static_cast<float>(0.707 * n.x + 0.7 - 0.707 * n.y);
    const float c = light * weight;
    context.colour[0] += c * hit.material.red;
    context.colour[1] += c * hit.material.green;
    context.colour[2] += c * hit.material.blue;

    // A negative depth would otherwise never reach 0.
    if (depth <= 0) {
        return;
    }

    // Everything the reflection needs is read now: the recursive call
    // rewrites the record.
    const Vector3& d = ray.direction;
    const float k = 2.0f * dot(n, d);
    Ray reflected;
    reflected.direction = d - n * k;
    // Not nudged off the surface: the intersection tests' minimum distance
    // keeps the reflected ray from hitting its own start.
    reflected.origin = ray.origin + d * hit.distance;
    shade(context, reflectList, reflectList, depth - 1, reflected, weight * 0.5f);
}

} // namespace vantrel
