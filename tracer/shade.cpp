#include "vantrel/tracer/shade.h"

#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/render.h"

namespace vantrel {

void shade(const PrimitiveList& reflectList, const PrimitiveList& list, int32_t depth,
           const Ray& ray, float weight) {
    if (intersectList(list, ray) == 0) {
        return;
    }
    shadeHit(reflectList, depth, ray, weight);
}

void shadeHit(const PrimitiveList& reflectList, int32_t depth, const Ray& ray, float weight) {
    const Vector3 n = hitRecord.normal;

    // Light towards (0.707, -0.707, 0) plus ambient 0.7, evaluated in double
    // and kept as float so every build gives the same pixels. Not clamped:
    // faces turned away darken below the ambient level.
    const float light = static_cast<float>(0.707 * n.x + 0.7 - 0.707 * n.y);
    const float c = light * weight;
    accumulatedColour[0] += c * hitRecord.material.red;
    accumulatedColour[1] += c * hitRecord.material.green;
    accumulatedColour[2] += c * hitRecord.material.blue;

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
    reflected.origin = ray.origin + d * hitRecord.distance;
    shade(reflectList, reflectList, depth - 1, reflected, weight * 0.5f);
}

} // namespace vantrel
