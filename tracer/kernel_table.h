// The entry points of the kernels of one instruction set, gathered into a
// table, and the table in use. kernelTableFor is written once over the lane
// types; the file built for each instruction set instantiates it with that
// set's lane type. Only the tracer includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/kernel.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/packet_walk.h"
#include "vantrel/tracer/primary_rays.h"
#include "vantrel/tracer/query_bvh_walk.h"
#include "vantrel/tracer/query_leaf_kernel.h"

namespace vantrel {

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
};

// The process's one choice of instruction set: set at start to the best the
// processor runs, and by selectKernel, which must not run while any thread
// traces.
extern KernelTable kernelInUse;

// The lane types: tracer/lanes_*.h.
namespace scalar {
struct Floats;
}
namespace avx2 {
template <class Built> struct EightFloats;
struct Avx2Build;
using Floats = EightFloats<Avx2Build>;
} // namespace avx2
namespace avx512 {
struct Floats;
struct Avx512Build;
using EightFloats = avx2::EightFloats<Avx512Build>;
} // namespace avx512

// Lanes of a packet that a one-lane kernel walks one by one.
constexpr uint32_t lonePacketLanes = 8;

// The walks of the queries' hierarchy on the lanes of F; none on lanes wider
// than a node, whose set takes eight lanes' (kernel.cpp).
template <class F> KernelTable withBvhWalks(KernelTable table) {
    if constexpr (F::width <= bvhWidth) {
        table.nearestInBvh = nearestInBvhLanes<F>;
        table.anyInBvh = anyInBvhLanes<F>;
    }
    return table;
}

// The walk of rays from one point on W's lanes, a leaf's shapes on F's.
// Measured on occlusion samples from shading points, against their walks
// alone: 1.35 to 1.45 times as fast with AVX2's eight rays together, 1.35
// times with eight of AVX-512's lanes, 1.6 to 1.75 times with its sixteen.
constexpr uint32_t mostOnePointLanes = 32; // a bit of the answer a ray
template <class W, class F> KernelTable withOnePointWalk(KernelTable table) {
    static_assert(W::width > 1 && W::width <= mostOnePointLanes, "a lane a ray");
    table.anyFromOnePoint = anyFromOnePointLanes<W, F>;
    table.onePointLanes = W::width;
    return table;
}

// Every kernel on the lanes of F.
template <class F> KernelTable kernelTableFor() {
    static_assert(F::width == 1 || F::width == sphereGroupLanes || F::width == 2 * sphereGroupLanes,
                  "a step tests part of a sphere group, one group or two");
    static_assert(F::width <= maxPacketLanes, "a packet holds every lane");
    if constexpr (F::width == 1)
        return withBvhWalks<F>({nearestSphereLanes<F>, nearestTriangleLanes<F>,
                                nearestSphereQueryLanes<F>, nearestTriangleQueryLanes<F>,
                                anyTriangleQueryLanes<F>, nullptr, nullptr, nullptr, nullptr,
                                lonePacketLanes, Kernel{}});
    else
        return withBvhWalks<F>({nearestSphereLanes<F>, nearestTriangleLanes<F>,
                                nearestSphereQueryLanes<F>, nearestTriangleQueryLanes<F>,
                                anyTriangleQueryLanes<F>, nullptr, nullptr, tracePacketLanes<F>,
                                packetDirectionsLanes<F>, F::width, Kernel{}});
}
extern template KernelTable kernelTableFor<avx2::Floats>();
extern template KernelTable kernelTableFor<avx512::Floats>();
extern template KernelTable withBvhWalks<avx512::EightFloats>(KernelTable table);
extern template KernelTable withOnePointWalk<avx2::Floats, avx2::Floats>(KernelTable table);
extern template KernelTable
withOnePointWalk<avx512::Floats, avx512::EightFloats>(KernelTable table);

} // namespace vantrel
