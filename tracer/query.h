// Ray queries for programs of one's own: the nearest hit of a ray segment,
// with which primitive it is and where on it, or only whether anything lies
// on the segment. Directions may have any length and zero components, and
// the triangle test has no size bound and leaks through no shared edge, so a
// model works at its own coordinates. The renderer's functions
// (intersectList, intersectKdTree, ...) keep their own, older rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vantrel/kdtree/build.h"
#include "vantrel/scene/records.h"

namespace vantrel {

struct TraceContext;
struct QueryBvh;
class WorkerPool;

// A segment: the points origin + t * direction for t in [tnear, tfar], so
// distances count in lengths of direction. A zero direction, or an origin or
// a direction that is not finite, meets nothing.
struct QueryRay {
    Vector3 origin;
    Vector3 direction;
    float tnear;
    float tfar;
};

constexpr uint32_t noPrimitive = 0xffffffffu;

struct QueryHit {
    float t; // infinity where nothing is hit
    // A triangle's barycentric weights of V1 and V2 at the hit (V0's is
    // 1 - u - v), exact but for their rounding to float; 0 for a sphere.
    float u;
    float v;
    // Unit length: (V1 - V0) x (V2 - V0) normalised, whichever side the ray
    // comes from; a sphere's outward normal.
    Vector3 normal;
    Material material;
    // Index of the primitive in the scene's list (for a list made by the
    // mesh readers, meshFaceOf names the file's mesh and face); noPrimitive
    // where nothing is hit. A hit inside a nested tree gives the nested
    // tree's entry here, and the primitive inside it in object.
    uint32_t primitive;
    PrimitiveType type;
    const void* object; // the Sphere or Triangle hit; null where nothing is
};

// What the queries trace: a list, the tree built over it, and a hierarchy of
// boxes over the same entries, which the queries walk. The list's primitives
// must stay in place while the scene is used.
struct QueryScene {
    PrimitiveList list{};
    KdTree* tree = nullptr;  // null: every query tests the whole list
    QueryBvh* bvh = nullptr; // made with the tree
    // The list entries the tree does not hold (nested trees), tested beside
    // it, by their index in the list.
    std::vector<uint32_t> outsideTree;
};

// Builds scene over list with method (0, 1, 2 as buildKdTree), or, with
// scanWholeList, without a tree. Says how the build ended; scene is usable
// only when it is Built.
constexpr int32_t scanWholeList = -1;
BuildResult buildQueryScene(QueryScene& scene, const PrimitiveList& list, int32_t method,
                            const BuildOptions& options = {});
void releaseQueryScene(QueryScene& scene);

// The nearest hit on the segment; false, and hit.t infinity, where there is
// none. Of entries hit at one distance, the one first in the list (a nested
// tree's own entries aside). A hit at the origin is at +0. Any number of
// threads may query one scene, each with its own context. Queries leave the
// tree's rayCount, the renderer's figure, as it is.
bool intersectNearest(TraceContext& context, const QueryScene& scene, const QueryRay& ray,
                      QueryHit& hit);

// Whether anything lies on the segment; ends at the first hit it finds.
bool intersectAny(TraceContext& context, const QueryScene& scene, const QueryRay& ray);

// The same for count rays at once on every thread of pool.
void intersectNearest(WorkerPool& pool, const QueryScene& scene, const QueryRay* rays,
                      QueryHit* hits, size_t count);
// Rays next to each other in the array that leave one point, as a shading
// point's occlusion samples do, walk the hierarchy together, up to 8 (AVX2)
// or 16 (AVX-512) at a time: 1.4 to 1.8 times as fast as one by one, with
// the same answers.
void intersectAny(WorkerPool& pool, const QueryScene& scene, const QueryRay* rays, bool* occluded,
                  size_t count);
// The same on the calling thread, for a program's own threads.
void intersectAny(TraceContext& context, const QueryScene& scene, const QueryRay* rays,
                  bool* occluded, size_t count);

} // namespace vantrel
