// The arrays of a mesh list, laid out the same by every mesh reader so that
// releaseMesh releases what any of them returns.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Any count above this could not be stored in a list or sized as an array.
constexpr uint64_t meshTriangleCeiling = std::min<uint64_t>(
    {UINT32_MAX - 1, SIZE_MAX / sizeof(Triangle) - 1, SIZE_MAX / sizeof(PrimitiveRef) - 2});

// Owned here until finishMesh hands them to a list.
struct MeshArrays {
    // count + 2: past the triangles' entries, one that points at the
    // triangles and one at the faces (null without them).
    std::unique_ptr<PrimitiveRef[]> items;
    std::unique_ptr<Triangle[]> triangles;
    std::unique_ptr<MeshFace[]> faces; // where the file's faces are not its triangles
    uint32_t count;
};

// The arrays for count triangles, count at most meshTriangleCeiling; with
// one face per triangle where withFaces.
MeshArrays allocateMeshArrays(uint64_t count, bool withFaces = false);

// A corner transformed as a point, in the readers' own arithmetic.
Vector3 transformPoint(const Matrix4& transform, float x, float y, float z);

// Fills entry i and triangle i: white, its corners (x, y, z three times)
// transformed as points.
void placeMeshTriangle(MeshArrays& mesh, uint32_t i, const Matrix4& transform,
                       const float (&corners)[9]);

// A new list header that takes over the arrays.
PrimitiveList* finishMesh(MeshArrays& mesh);

} // namespace vantrel
