// The builder of the queries' hierarchy: top-down, by the surface area
// cost of binned planes, on every thread it is given, the same hierarchy
// for every thread count.
#pragma once

#include <cstdint>

#include "vantrel/bvh/bvh.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// What a hierarchy is built over: the spheres and triangles of a list, or
// triangles given as index triples into xyz vertices. Shapes that are not
// finite are left out, as the kd-tree leaves them out (isBuildable); an
// index past the vertices is the caller's to refuse first.
struct BvhInput {
    const PrimitiveList* list = nullptr;
    const float* vertices = nullptr;
    const uint32_t* indices = nullptr;
    uint32_t triangleCount = 0;
    // Asked only where the shapes' bounds reach past reach on an axis,
    // before the build's work: true stops the build. The caller's closer
    // look at its shapes, which it is then spared in every other build.
    float reach = 3.4028235e38f;
    bool (*refused)(const BvhInput& input) = nullptr;
};

// Threads a build shares its work out on: run(threads, items, work, data)
// calls work(data, item) once for every item below items, on any of them,
// and returns once all are done. Without run, or with one thread, the
// build runs on the calling thread alone.
struct BuildThreads {
    uint32_t count = 1;
    void* threads = nullptr;
    void (*run)(void* threads, uint32_t items, void (*work)(void* data, uint32_t item),
                void* data) = nullptr;
};

// What a build may take: charge(account, bytes) is called before bytes are
// taken and throws std::bad_alloc where they would pass the budget.
struct BuildCharge {
    void* account = nullptr;
    void (*charge)(void* account, uint64_t bytes) = nullptr;
};

// Builds bvh over input, of at most mostBvhShapes shapes (the caller
// refuses more): false, bvh left empty, where input.refused stopped it. The
// hierarchy holds copies of the shapes, so the input may go once it is
// built. Throws std::bad_alloc where memory or the budget runs out, leaving
// bvh empty.
bool buildBvh(QueryBvh& bvh, const BvhInput& input, const BuildThreads& threads,
              const BuildCharge& charge, bool hugePages);

} // namespace vantrel
