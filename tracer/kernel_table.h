// The entry points of the kernels of one instruction set, gathered into a
// table, and the table in use: what the tracer's front doors dispatch
// through. The templates that fill a table are in kernel_table_for.h, which
// only the files that build a kernel include. Only the tracer includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/kernel.h"

namespace vantrel {

struct SphereGroup;
struct TriangleGroup;
struct KdTree;
struct TraceContext;
struct RayPacket;
struct PacketHits;
struct ShearedRay;
struct QueryRay;
struct QueryBvh;
struct PointPlacement;
struct NearestPoint;

// What a walk of the queries' hierarchy found: the nearest shape and its
// distance.
struct BvhHit {
    float t;
    uint32_t index; // the list's entry, or the arrays' triangle
    uint32_t leaf;  // its leaf's child code (bvh/bvh.h)
    uint32_t lane;  // its place in the leaf
};

// The most rays from one point any table walks together: a bit of the
// answer a ray.
constexpr uint32_t mostOnePointLanes = 32;

// Rays that leave one point, by component, as a walk of them together
// reads them: each traceable, with its end (as the walks take it) in tfar.
struct OnePointRays {
    Vector3 origin;
    uint32_t count;
    alignas(64) float direction[3][mostOnePointLanes];
    alignas(64) float tnear[mostOnePointLanes];
    alignas(64) float tfar[mostOnePointLanes];
};

// Where a walk that finds every hit puts them: take(data, t, index) for
// each, in no order; null take only counts them.
struct HitSink {
    void (*take)(void* data, float t, uint32_t index) = nullptr;
    void* data = nullptr;
};

struct KernelTable {
    uint32_t (*nearestSphere)(const SphereGroup* groups, uint32_t count, const Ray& ray,
                              float& distance);
    uint32_t (*nearestTriangle)(const TriangleGroup* groups, uint32_t count, const Ray& ray,
                                float& distance);
    // The queries' tests, in a segment [tnear, tfar].
    uint32_t (*nearestSphereQuery)(const SphereGroup* groups, uint32_t count, const Ray& ray,
                                   float tnear, float tfar, float& distance);
    uint32_t (*nearestTriangleQuery)(const TriangleGroup* groups, uint32_t count,
                                     const ShearedRay& ray, float tnear, float tfar,
                                     float& distance);
    bool (*anyTriangleQuery)(const TriangleGroup* groups, uint32_t count, const ShearedRay& ray,
                             float tnear, float tfar);
    // A ray through the queries' hierarchy: its nearest hit in [tnear, tfar],
    // or whether there is any. Lanes wider than a node's eight boxes would
    // run half on padding: those sets take the eight-lane walk (kernel.cpp).
    bool (*nearestInBvh)(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                         float tfar, BvhHit& hit);
    bool (*anyInBvh)(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                     float tfar);
    // Every hit in [tnear, tfar], handed to sink; gives their count.
    uint32_t (*everyInBvh)(const QueryBvh& bvh, const QueryRay& ray, const ShearedRay& sheared,
                           float tfar, const HitSink& sink);
    // The closest point of the hierarchy's shapes, of geometry, taken into
    // best where it is nearer (closest_in_bvh.h).
    void (*closestInBvh)(const QueryBvh& bvh, const PointPlacement& placement, uint32_t geometry,
                         NearestPoint& best);
    // Both null where the lanes of a packet are walked one by one.
    void (*tracePacket)(TraceContext& context, const KdTree& tree, const RayPacket& packet,
                        PacketHits& hits);
    void (*packetDirections)(const Matrix4& camera, const Ray* table, const size_t* pixel,
                             RayPacket& packet);
    uint32_t packetLanes;
    Kernel kernel; // which set these are, filled in when the table is chosen
    // Occlusion for up to onePointLanes rays that leave one point, walked
    // together; null where they are walked one by one.
    uint32_t (*anyFromOnePoint)(const QueryBvh& bvh, const QueryRay* rays,
                                const ShearedRay* sheared, const float* tfar,
                                uint32_t count) = nullptr;
    uint32_t onePointLanes = 0;
    // The nearest hits of up to onePointLanes rays that leave one point,
    // walked together, each in hits[k] where bit k of the answer is set;
    // null where they are walked one by one.
    uint32_t (*nearestFromOnePoint)(const QueryBvh& bvh, const OnePointRays& rays,
                                    BvhHit* hits) = nullptr;
};

// The process's one choice of instruction set: set at start to the best the
// processor runs, and by selectKernel, which must not run while any thread
// traces.
extern KernelTable kernelInUse;

} // namespace vantrel
