// The nearest sphere among a leaf's packed sphere groups, tested several at a
// time with the vector unit of the kernel in use (tracer/kernel.h).
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Among the first count spheres of groups (lane 0 of the first group is
// entry 0), the entry that testing them in order would record last: the
// first at the smallest distance the sphere test accepts below the empty
// record's distance, which is left in distance. noEntry
// (tracer/nearest_entry.h) if none. Every kernel gives the same answer; they
// differ only in speed.
uint32_t nearestSphere(const SphereGroup* groups, uint32_t count, const Ray& ray, float& distance);

// Writes the hit of entry at distance (as nearestSphere found it) into record
// exactly as the list test would: unit normal facing the origin, distance,
// the sphere's material.
void recordSphereHit(const SphereGroup* groups, uint32_t entry, const Ray& ray, float distance,
                     HitRecord& record);

} // namespace vantrel
