// The choice between a packed leaf's nearest sphere and its nearest
// triangle, as the in-order list test makes it.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/nearest_entry.h"

namespace vantrel {

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
