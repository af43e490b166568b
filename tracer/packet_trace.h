// Eight primary rays from one origin walked through a tree together, each
// with exactly the result it gets when walked alone.
#pragma once

#include <cstdint>

#include "kdtree/kd_tree.h"
#include "scene/records.h"

namespace vantrel {

constexpr uint32_t packetLanes = 8;

// Rays that share an origin, as the primary rays of a frame do.
struct RayPacket {
    Vector3 origin;
    Vector3 direction[packetLanes];
};

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
