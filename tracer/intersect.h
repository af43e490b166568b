// Nearest hit of a ray among the entries of a primitive list.
#pragma once

#include "vantrel/scene/records.h"
#include "vantrel/tracer/trace_context.h" // hitRecord

namespace vantrel {

// The distance of an empty record: the largest finite float.
constexpr float noHitDistance = 3.4028235e38f;

// Resets hitRecord.distance, then records every strictly nearer hit among the
// list's entries (spheres, triangles, nested trees; other codes are skipped).
// Non-zero when a hit was recorded.
int intersectList(const PrimitiveList& list, const Ray& ray);

// The same in context.hit. The rays of nested trees are counted in context
// (addRayCounts).
int intersectList(TraceContext& context, const PrimitiveList& list, const Ray& ray);

// Two-sided ray/triangle test. normal (e1 x e2, not normalised) is always
// written; t and the weights as far as the test gets. True on a hit at t >= 0.001.
bool intersectTriangle(const Ray& ray, const Vector3& V0, const Vector3& V1, const Vector3& V2,
                       float& t, float& weight1, float& weight2, Vector3& normal);

} // namespace vantrel
