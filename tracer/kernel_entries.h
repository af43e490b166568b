// Every kernel of one lane type, gathered into its table. A file built for an
// instruction set instantiates kernelTableFor with that set's lane type.
#pragma once

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/leaf_lanes_kernel.h"
#include "vantrel/tracer/packet_trace.h"
#include "vantrel/tracer/packet_walk.h"
#include "vantrel/tracer/primary_rays.h"

namespace vantrel {

// Lanes of a packet that a one-lane kernel walks one by one.
constexpr uint32_t lonePacketLanes = 8;

template <class F> KernelTable kernelTableFor() {
    static_assert(F::width == 1 || F::width == sphereGroupLanes || F::width == 2 * sphereGroupLanes,
                  "a step tests part of a sphere group, one group or two");
    static_assert(F::width <= maxPacketLanes, "a packet holds every lane");
    if constexpr (F::width == 1)
        return {nearestSphereLanes<F>, nearestTriangleLanes<F>, nullptr, nullptr, lonePacketLanes};
    else
        return {nearestSphereLanes<F>, nearestTriangleLanes<F>, tracePacketLanes<F>,
                packetDirectionsLanes<F>, F::width};
}

} // namespace vantrel
