// Primary rays from one origin walked through a tree together, each with
// exactly the result it gets when walked alone.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/trace_context.h"

namespace vantrel {

// The widest packet any kernel walks.
constexpr uint32_t maxPacketLanes = 16;

// Rays that share an origin, as the primary rays of a frame do. Directions
// are kept by axis, as the walk reads them; the kernel in use reads the
// first packetLaneCount() lanes.
struct RayPacket {
    Vector3 origin;
    alignas(64) float direction[3][maxPacketLanes];
};

inline Vector3 laneDirection(const RayPacket& packet, uint32_t lane) {
    return {packet.direction[0][lane], packet.direction[1][lane], packet.direction[2][lane]};
}

inline void setLaneDirection(RayPacket& packet, uint32_t lane, const Vector3& d) {
    packet.direction[0][lane] = d.x;
    packet.direction[1][lane] = d.y;
    packet.direction[2][lane] = d.z;
}

struct PacketHits {
    uint32_t hitMask;              // bit i set: lane i hit, and hit[i] holds its record
    HitRecord hit[maxPacketLanes]; // undefined in the other lanes
};

// Lanes of a packet for the kernel in use (tracer/kernel.h).
uint32_t packetLaneCount();

// Whether the kernel in use walks packets together; elsewhere
// intersectKdTreePacket walks the lanes one by one.
bool packetsSupported();

// For every lane, what intersectKdTree gives for that ray alone in
// context: the same hit, the same record, and one more ray counted.
void intersectKdTreePacket(TraceContext& context, const KdTree& tree, const RayPacket& packet,
                           PacketHits& hits);

// Leaves in context.hit what a list query of the lane's ray would: its hit,
// or an empty record (distance only) where it hit nothing. The packet path's
// one write into the context's hit, for shading.
inline void loadLaneHit(TraceContext& context, const PacketHits& hits, uint32_t lane) {
    if (hits.hitMask & (1u << lane))
        context.hit = hits.hit[lane];
    else
        context.hit.distance = noHitDistance;
}

} // namespace vantrel
