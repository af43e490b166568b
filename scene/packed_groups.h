// Spheres and triangles packed by component in groups of eight, so that a
// vector unit loads a row of eight at once: the leaf format of both the
// kd-tree and the queries' hierarchy, and the functions that fill a group.
#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "vantrel/scene/records.h"
#include "vantrel/scene/vector_ops.h"

namespace vantrel {

constexpr uint32_t sphereGroupLanes = 8;

// Up to sphereGroupLanes consecutive spheres of a leaf, by component so that
// a vector unit loads a row at once. Lanes past the leaf's end hold NaN,
// which no sphere test accepts, and a null sphere.
struct alignas(64) SphereGroup {
    float x[sphereGroupLanes]; // centres
    float y[sphereGroupLanes];
    float z[sphereGroupLanes];
    float radius[sphereGroupLanes];
    // Where the winner's material is read; next to the rows, so usually cached.
    const Sphere* sphere[sphereGroupLanes];
};

constexpr uint32_t triangleGroupLanes = sphereGroupLanes;

// Up to triangleGroupLanes consecutive triangles of a leaf, by component:
// the corners, and the face normal (V1 - V0) x (V2 - V0) worked out once in
// the very floats the triangle test computes it in. Lanes past the leaf's end
// hold NaN, which no triangle test accepts, and a null triangle.
struct alignas(64) TriangleGroup {
    float x0[triangleGroupLanes];
    float y0[triangleGroupLanes];
    float z0[triangleGroupLanes];
    float x1[triangleGroupLanes];
    float y1[triangleGroupLanes];
    float z1[triangleGroupLanes];
    float x2[triangleGroupLanes];
    float y2[triangleGroupLanes];
    float z2[triangleGroupLanes];
    float nx[triangleGroupLanes];
    float ny[triangleGroupLanes];
    float nz[triangleGroupLanes];
    const Triangle* triangle[triangleGroupLanes]; // where the winner's material is read
};

constexpr uint32_t noGroup = 0xffffffffu;

// The groups of either kind that count entries take.
inline uint32_t groupsFor(uint32_t count) {
    return (count + sphereGroupLanes - 1) / sphereGroupLanes;
}

// No entry of a group: what the leaf tests give where nothing was accepted.
constexpr uint32_t noEntry = 0xffffffffu;

// Lane lane of a group: a shape's rows and where it lies, or the padding
// past a leaf's end, which no test accepts. In line: builds fill every lane
// of every group through them.
inline void padSphere(SphereGroup& group, uint32_t lane) {
    group.x[lane] = group.y[lane] = group.z[lane] = group.radius[lane] = NAN;
    group.sphere[lane] = nullptr;
}

inline void putSphere(SphereGroup& group, uint32_t lane, const Sphere& s) {
    group.x[lane] = s.centre.x;
    group.y[lane] = s.centre.y;
    group.z[lane] = s.centre.z;
    group.radius[lane] = s.radius;
    group.sphere[lane] = &s;
}

inline void padTriangle(TriangleGroup& group, uint32_t lane) {
    for (float* row : {group.x0, group.y0, group.z0, group.x1, group.y1, group.z1, group.x2,
                       group.y2, group.z2, group.nx, group.ny, group.nz})
        row[lane] = NAN;
    group.triangle[lane] = nullptr;
}

inline void putTriangle(TriangleGroup& group, uint32_t lane, const Triangle& t) {
    group.x0[lane] = t.V0.x;
    group.y0[lane] = t.V0.y;
    group.z0[lane] = t.V0.z;
    group.x1[lane] = t.V1.x;
    group.y1[lane] = t.V1.y;
    group.z1[lane] = t.V1.z;
    group.x2[lane] = t.V2.x;
    group.y2[lane] = t.V2.y;
    group.z2[lane] = t.V2.z;
    // As the triangle test forms it, so the same floats.
    const Vector3 n = cross(t.V1 - t.V0, t.V2 - t.V0);
    group.nx[lane] = n.x;
    group.ny[lane] = n.y;
    group.nz[lane] = n.z;
    group.triangle[lane] = &t;
}

} // namespace vantrel
