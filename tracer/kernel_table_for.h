// The recipe of a kernel table: kernelTableFor and the walks it adds, written
// once over the lane types. The file built for each instruction set
// instantiates them with that set's lane type (kernels_avx2.cpp,
// kernels_avx512.cpp), and kernel.cpp for one lane; nothing else includes
// this, so no other file compiles the kernel templates.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/closest_in_bvh.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/leaf_kernel.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/packet_walk.h"
#include "vantrel/tracer/primary_rays.h"
#include "vantrel/tracer/query_bvh_every_hit.h"
#include "vantrel/tracer/query_bvh_packet.h"
#include "vantrel/tracer/query_bvh_walk.h"
#include "vantrel/tracer/query_leaf_kernel.h"

namespace vantrel {

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
        table.everyInBvh = everyInBvhLanes<F>;
        table.closestInBvh = closestInBvhLanes<F>;
    }
    return table;
}

// The walk of rays from one point on W's lanes, a leaf's shapes on F's.
// Measured on occlusion samples from shading points, against their walks
// alone: 1.35 to 1.45 times as fast with AVX2's eight rays together, 1.35
// times with eight of AVX-512's lanes, 1.6 to 1.75 times with its sixteen.
template <class W, class F> KernelTable withOnePointWalk(KernelTable table) {
    static_assert(W::width > 1 && W::width <= mostOnePointLanes, "a lane a ray");
    table.anyFromOnePoint = anyFromOnePointLanes<W, F>;
    table.nearestFromOnePoint = nearestFromOnePointLanes<W, F>;
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
                                nullptr, nullptr, lonePacketLanes, Kernel{}});
    else
        return withBvhWalks<F>({nearestSphereLanes<F>, nearestTriangleLanes<F>,
                                nearestSphereQueryLanes<F>, nearestTriangleQueryLanes<F>,
                                anyTriangleQueryLanes<F>, nullptr, nullptr, nullptr, nullptr,
                                tracePacketLanes<F>, packetDirectionsLanes<F>, F::width, Kernel{}});
}
extern template KernelTable kernelTableFor<avx2::Floats>();
extern template KernelTable kernelTableFor<avx512::Floats>();
extern template KernelTable withBvhWalks<avx512::EightFloats>(KernelTable table);
extern template KernelTable withOnePointWalk<avx2::Floats, avx2::Floats>(KernelTable table);
extern template KernelTable
withOnePointWalk<avx512::Floats, avx512::EightFloats>(KernelTable table);

} // namespace vantrel
