// Placeholder until the tracer lands.
#include "tracer/intersect.h"

namespace vantrel {

HitRecord hitRecord;

int intersectList(const PrimitiveList&, const Ray&) {
    hitRecord.distance = noHitDistance;
    return 0;
}

} // namespace vantrel
