// Between the queries and the frames of query scenes: a hit the hierarchy's
// walk found, as the queries give it.
#pragma once

#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/query.h"

namespace vantrel {

// Whether ray is a segment the walks can trace, whose end as they take it
// is left in tfar (the ray's own on entry).
bool traceable(const QueryRay& ray, float& tfar);

// The hit a walk of scene's hierarchy found along ray, as intersectNearest
// gives it (the scene's entries outside the hierarchy aside); its weights
// (u, v) only where asked.
void hitOfHierarchy(const QueryScene& scene, const QueryRay& ray, const BvhHit& found, bool weights,
                    QueryHit& hit);

} // namespace vantrel
