// Which entries of a list a structure is built over.
#pragma once

#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

// Whether a build takes the entry in: a sphere or a triangle with finite
// bounds. Nested trees, unknown codes and shapes with NaN or infinite
// coordinates are left out of every structure: a nested tree in a leaf would
// start a walk inside the walk and overwrite its single working storage; a
// shape that is not finite cannot be hit, but would stretch the root box to
// infinity, and a NaN plane sends every entry to both children.
inline bool isBuildable(const PrimitiveRef& ref) {
    if (ref.type == PrimitiveType::Sphere) {
        const Sphere& s = *static_cast<const Sphere*>(ref.object);
        const Vector3 r{s.radius, s.radius, s.radius};
        return isFinite(s.centre - r) && isFinite(s.centre + r);
    }
    if (ref.type == PrimitiveType::Triangle) {
        const Triangle& t = *static_cast<const Triangle*>(ref.object);
        return isFinite(t.V0) && isFinite(t.V1) && isFinite(t.V2);
    }
    return false;
}

} // namespace vantrel
