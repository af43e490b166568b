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
class SharedBuildBudget;

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

// What the queries trace: a hierarchy of boxes over a list's spheres and
// triangles, or over triangles given as arrays, which the queries walk; and,
// where the caller asked for it, the renderer's kd-tree over the list.
struct QueryScene {
    PrimitiveList list{};    // empty for a scene from arrays
    KdTree* tree = nullptr;  // the renderer's; only where asked for
    QueryBvh* bvh = nullptr; // null: every query tests the whole list
    // The list entries the hierarchy does not hold (nested trees), tested
    // beside it, by their index in the list.
    std::vector<uint32_t> outsideTree;
};

// How a query scene is built.
struct QueryBuildOptions {
    // Threads the build shares its work out on: 0 for one per core. Any
    // count builds the same hierarchy.
    uint32_t threads = 0;
    // Where those threads come from: a pool of the caller's (threads is
    // then its own), or null for one made for the build.
    WorkerPool* pool = nullptr;
    // As BuildOptions: the most this build may take, in bytes (0 sets no
    // budget of its own); the budget it shares with the builds running at
    // the same time (null for the process's); transparent huge pages on
    // its large arrays.
    std::size_t memoryBudget = 0;
    SharedBuildBudget* sharedBudget = nullptr;
    bool hugePages = true;
    // For tests of the out-of-memory path: the build's memory is refused
    // past this many bytes, as the system refuses it when it has no more to
    // give; 0 sets no such limit.
    std::size_t memoryLimit = 0;
};

// The largest magnitude of a coordinate of a shape the queries take (a
// triangle's corners, a sphere's centre plus or minus its radius): within
// it, and for rays from within it (their directions of any length: a long
// one is traced scaled by a power of two), no product the triangle and
// sphere tests form passes the largest float, so every hit is found. A
// build over a shape beyond it ends OutOfRange; queryShapesOutOfRange
// counts them.
constexpr float queryCoordinateLimit = 0x1p39f; // about 5.5e11

// The list's spheres and triangles the build takes in (finite ones) that
// lie beyond queryCoordinateLimit; a triangle without area (its corners on
// one line or at one point), which no ray hits, lies anywhere.
uint32_t queryShapesOutOfRange(const PrimitiveList& list);
// The same for triangles given as arrays, as buildQueryScene takes them.
uint32_t queryShapesOutOfRange(const float* vertices, const uint32_t* indices,
                               uint32_t triangleCount);

// Builds scene's hierarchy over list's spheres and triangles. The list's
// entries and primitives must stay as they are while the scene is used; a
// hit names its entry in the list (primitive), the entry's object and the
// object's material. Says how the build
// ended (OverBudget, OutOfMemory, InputTooLarge past 2^27 shapes,
// OutOfRange); scene is usable only when it is Built.
BuildResult buildQueryScene(QueryScene& scene, const PrimitiveList& list,
                            const QueryBuildOptions& options);

// The same over triangleCount triangles given as index triples into
// vertexCount vertices of three floats (x, y, z) each. The arrays are read
// during the call only: the scene keeps copies of the corners it needs. A
// hit's primitive is the triangle's index, its object null and its
// material white. A triangle with a corner that is not finite can never be
// hit and is left out; an index not below vertexCount refuses the build
// (InvalidInput), as a corner beyond queryCoordinateLimit does (OutOfRange),
// and nothing is built.
BuildResult buildQueryScene(QueryScene& scene, const float* vertices, uint32_t vertexCount,
                            const uint32_t* indices, uint32_t triangleCount,
                            const QueryBuildOptions& options);

// The scene over list with the renderer's kd-tree too, built with method
// (0, 1, 2 as buildKdTree) and options, the hierarchy on every core; or,
// with scanWholeList, neither: every query then tests the whole list.
constexpr int32_t scanWholeList = -1;
BuildResult buildQueryScene(QueryScene& scene, const PrimitiveList& list, int32_t method,
                            const BuildOptions& options = {});

// The box around the shapes the scene's hierarchy holds; false, leaving
// lower and upper as they were, where it holds none (or has no hierarchy).
bool querySceneBounds(const QueryScene& scene, Vector3& lower, Vector3& upper);

// The bytes a scene's structures take: the hierarchy's and the kd-tree's
// (with its copies of the list's references), the caller's list and
// primitives not counted.
std::size_t querySceneBytes(const QueryScene& scene);

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

// The same for count rays at once on every thread of pool; rays next to
// each other in the array that leave one point (a camera's, a shading
// point's) walk the hierarchy together, with the same answers.
void intersectNearest(WorkerPool& pool, const QueryScene& scene, const QueryRay* rays,
                      QueryHit* hits, size_t count);
// The same on the calling thread, for a program's own threads.
void intersectNearest(TraceContext& context, const QueryScene& scene, const QueryRay* rays,
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
