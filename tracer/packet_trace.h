// Eight primary rays from one origin walked through a tree together, each
// with exactly the result it gets when walked alone.
#pragma once

#include <cstdint>

#include "kdtree/kd_tree.h"
#include "scene/records.h"

namespace vantrel {

constexpr uint32_t packetLanes = 8;

// Rays that share an origin, as the primary rays of a frame do. Directions
// are kept by axis, as the walk reads them.
struct RayPacket {
    Vector3 origin;
    alignas(32) float direction[3][packetLanes];
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
    uint32_t hitMask;           // bit i set: lane i hit, and hit[i] holds its record
    HitRecord hit[packetLanes]; // undefined in the other lanes
};

// Whether this processor walks packets together; elsewhere
// intersectKdTreePacket walks the lanes one by one.
bool packetsSupported();

// For every lane, what intersectKdTree gives for that ray alone: the same
// hit, the same record, and one more in tree.rayCount.
void intersectKdTreePacket(KdTree& tree, const RayPacket& packet, PacketHits& hits);

} // namespace vantrel
