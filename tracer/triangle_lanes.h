// The nearest triangle among a leaf's packed triangle groups, tested several
// at a time with the vector unit of the kernel in use (tracer/kernel.h).
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Among the first count triangles of groups, the ordinal that testing them
// in order would record last: the first at the smallest distance the
// triangle test accepts below the empty record's distance, which is left in
// distance. noEntry (tracer/nearest_entry.h) if none. Every kernel gives the
// same answer.
uint32_t nearestTriangle(const TriangleGroup* groups, uint32_t count, const Ray& ray,
                         float& distance);

// Writes the hit of ordinal at distance into record exactly as the list test
// would: the unit face normal, distance, the triangle's material.
void recordTriangleHit(const TriangleGroup* groups, uint32_t ordinal, float distance,
                       HitRecord& record);

} // namespace vantrel
