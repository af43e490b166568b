// The entry points of the kernels of one instruction set, and the ones in
// use. Only the tracer includes this.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"

namespace vantrel {

struct RayPacket;
struct PacketHits;

struct KernelTable {
    uint32_t (*nearestSphere)(const SphereGroup* groups, uint32_t count, const Ray& ray,
                              float& distance);
    uint32_t (*nearestTriangle)(const TriangleGroup* groups, uint32_t count, const Ray& ray,
                                float& distance);
    // Both null where the lanes of a packet are walked one by one.
    void (*tracePacket)(KdTree& tree, const RayPacket& packet, PacketHits& hits);
    void (*packetDirections)(const Matrix4& camera, const Ray* table, const size_t* pixel,
                             RayPacket& packet);
    uint32_t packetLanes;
};

extern KernelTable kernelInUse;

// The lane types: tracer/lanes_*.h.
namespace scalar {
struct Floats;
}
namespace avx2 {
struct Floats;
}
namespace avx512 {
struct Floats;
}

// The kernels on the lanes of F (tracer/kernel_entries.h); instantiated in
// the file built for each instruction set.
template <class F> KernelTable kernelTableFor();
extern template KernelTable kernelTableFor<avx2::Floats>();
extern template KernelTable kernelTableFor<avx512::Floats>();

} // namespace vantrel
