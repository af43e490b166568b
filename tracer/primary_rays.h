// The world-space direction of a pixel's primary ray, written once over the
// lane types: the renderer takes it on one lane per pixel, the packet kernels
// for a whole block at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/packet_trace.h"

namespace vantrel {

// A direction component at least 0.001 away from zero, keeping its sign; zero
// of either sign goes to +0.001. The kd-tree walk divides by every component.
template <class F> F keepOffZeroLanes(F c) {
    // Chosen without branches: directions cross zero all over a frame.
    const typename F::Mask smallUp = (c >= F(0.0f)) & (c < F(0.001f));
    const typename F::Mask smallDown = (c < F(0.0f)) & (c > F(-0.001f));
    const F up = select(smallUp, F(0.001f), c);
    return select(smallDown, F(-0.001f), up);
}

// The camera matrix m turns a camera-space direction into the world. Not
// normalised again: the matrix is a rotation, and the clamp only ever
// lengthens a direction by a hair.
template <class F> void worldDirection(const float* m, F lx, F ly, F lz, F direction[3]) {
    direction[0] = keepOffZeroLanes(F(m[0]) * lx + F(m[4]) * ly + F(m[8]) * lz);
    direction[1] = keepOffZeroLanes(F(m[1]) * lx + F(m[5]) * ly + F(m[9]) * lz);
    direction[2] = keepOffZeroLanes(F(m[2]) * lx + F(m[6]) * ly + F(m[10]) * lz);
}

// The directions of the packet's rays, lane i from entry pixel[i] of the
// camera-space ray table.
template <class F>
void packetDirectionsLanes(const Matrix4& camera, const Ray* table, const size_t* pixel,
                           RayPacket& packet) {
    alignas(64) float local[3][F::width];
    for (uint32_t lane = 0; lane < F::width; ++lane) {
        const Vector3& l = table[pixel[lane]].direction;
        local[0][lane] = l.x;
        local[1][lane] = l.y;
        local[2][lane] = l.z;
    }
    F direction[3];
    worldDirection(camera.m, F::load(local[0]), F::load(local[1]), F::load(local[2]), direction);
    for (uint32_t axis = 0; axis < 3; ++axis)
        direction[axis].store(packet.direction[axis]);
}

} // namespace vantrel
