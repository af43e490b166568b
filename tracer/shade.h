// Lighting of one ray: a fixed directional light plus ambient, with optional
// mirror reflections.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

struct TraceContext;

// Adds this ray's contribution, scaled by weight, into accumulatedColour;
// list is searched for the hit, reflectList for every reflected ray. depth is
// the number of further reflections to follow.
void shade(const PrimitiveList& reflectList, const PrimitiveList& list, int32_t depth,
           const Ray& ray, float weight);

// The same into context.colour, with context's hit and walks.
void shade(TraceContext& context, const PrimitiveList& reflectList, const PrimitiveList& list,
           int32_t depth, const Ray& ray, float weight);

// shade in context for a ray whose hit is already in context.hit.
void shadeHit(TraceContext& context, const PrimitiveList& reflectList, int32_t depth,
              const Ray& ray, float weight);

} // namespace vantrel
