#include "vantrel/tracer/packet_trace.h"

#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/kernel_table.h"
#include "vantrel/tracer/traverse.h"

namespace vantrel {

uint32_t packetLaneCount() {
    return kernelInUse.packetLanes;
}

bool packetsSupported() {
    return kernelInUse.tracePacket != nullptr;
}

void intersectKdTreePacket(TraceContext& context, const KdTree& tree, const RayPacket& packet,
                           PacketHits& hits) {
    hits.hitMask = 0;
    if (kernelInUse.tracePacket != nullptr) {
        kernelInUse.tracePacket(context, tree, packet, hits);
        return;
    }
    for (uint32_t lane = 0; lane < kernelInUse.packetLanes; ++lane) {
        if (intersectKdTree(context, tree, {packet.origin, laneDirection(packet, lane)}) != 0) {
            hits.hit[lane] = context.hit;
            hits.hitMask |= 1u << lane;
        }
    }
}

} // namespace vantrel
