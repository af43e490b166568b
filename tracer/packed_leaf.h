// A leaf's spheres and triangles as the compile step packs them (groups of
// eight by component, kdtree/kd_tree.h), tested several at a time with the
// vector unit of the kernel in use (tracer/kernel.h), with exactly the
// result of the in-order list test.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"

namespace vantrel {

struct TraceContext;

// intersectList on leaf `leaf` of tree, with the same result and the same
// record in context.hit, but through the tree's packed spheres and
// triangles where the leaf has them.
int intersectLeaf(TraceContext& context, const KdTree& tree, uint32_t leaf, const Ray& ray);

// Writes the hit of sphere entry at distance (as the leaf kernel found it)
// into record exactly as the list test would: unit normal facing the origin,
// distance, the sphere's material.
void recordSphereHit(const SphereGroup* groups, uint32_t entry, const Ray& ray, float distance,
                     HitRecord& record);

// Writes the hit of triangle ordinal at distance into record exactly as the
// list test would: the unit face normal, distance, the triangle's material.
void recordTriangleHit(const TriangleGroup* groups, uint32_t ordinal, float distance,
                       HitRecord& record);

// recordSphereHit and recordTriangleHit but for the material, left for the
// caller to copy from where they return.
const Material* recordSphereHitButMaterial(const SphereGroup* groups, uint32_t entry,
                                           const Ray& ray, float distance, HitRecord& record);
const Material* recordTriangleHitButMaterial(const TriangleGroup* groups, uint32_t ordinal,
                                             float distance, HitRecord& record);

// Whether, in list, the sphere of ordinal sphere (counting spheres only)
// comes before the triangle of ordinal triangle (counting triangles only).
bool sphereComesFirst(const PrimitiveList& list, uint32_t sphere, uint32_t triangle);

// Whether the leaf's nearest triangle (at triangleDistance, noEntry for
// none) is what the list test records rather than its nearest sphere: the
// nearer one, or at the same distance the earlier entry.
inline bool triangleWins(const PrimitiveList& list, uint32_t sphere, float sphereDistance,
                         uint32_t triangle, float triangleDistance) {
    if (triangle == noEntry)
        return false;
    if (sphere == noEntry || triangleDistance != sphereDistance)
        return sphere == noEntry || triangleDistance < sphereDistance;
    // An exact tie across the kinds: rare enough to look the order up.
    return !sphereComesFirst(list, sphere, triangle);
}

} // namespace vantrel
