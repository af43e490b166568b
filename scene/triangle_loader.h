// Reads triangle meshes from text files of nine numbers per triangle.
#pragma once

#include <cstdint>

#include "vantrel/scene/mesh_load_failure.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// Loads the file at path, every vertex transformed as a point by transform.
// Returns a new list of Triangle entries (white material), or null when the
// path is not a regular file (refused before it is opened, so a FIFO cannot
// hold the caller), the file cannot be opened, cannot be read to its end,
// holds a token that is not a number, holds a different number of triangles
// the second time, or has more triangles than a list can hold. Release the
// result with releaseMesh.
//
// Where failure is given, it is cleared and, when the result is null, says why.
//
// Layout, for callers that release by hand: the header is a single record,
// items an array, and the triangles a third array in file order; entry i
// points at triangle i. items holds count + 1 entries: the one past the end
// (type 0, skipped by every consumer) points at the triangle array, so that
// it can be found even when count is 0 or the entries have been reordered.
PrimitiveList* loadTriangleFile(const char* path, const Matrix4& transform,
                                MeshLoadFailure* failure = nullptr);

// As loadTriangleFile, but also null when the file has more than
// maxTriangles triangles, for callers that bound the memory a file may take.
PrimitiveList* loadTriangleFileBounded(const char* path, const Matrix4& transform,
                                       uint64_t maxTriangles, MeshLoadFailure* failure = nullptr);

// selector 0: the nine-number text format; any other value gives null.
PrimitiveList* loadMesh(const char* path, const Matrix4& transform, int32_t selector,
                        MeshLoadFailure* failure = nullptr);

// Releases a loaded mesh: the header, the entry array and the triangle array.
// Null is allowed. Only for lists made by the functions above or by
// importMesh (scene/mesh_import.h).
void releaseMesh(PrimitiveList* mesh);

} // namespace vantrel
