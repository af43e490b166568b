// Reads triangle meshes from text files of nine numbers per triangle.
#pragma once

#include <cstdint>

#include "scene/records.h"

namespace vantrel {

// Loads the file at path, every vertex transformed as a point by transform.
// Returns a new list of Triangle entries (white material), or null when the
// file cannot be opened. Release the result with releaseMesh.
PrimitiveList* loadTriangleFile(const char* path, const Matrix4& transform);

// selector 0: the nine-number text format; any other value gives null.
PrimitiveList* loadMesh(const char* path, const Matrix4& transform, int32_t selector);

// Releases a loaded mesh: the header, the entry array and the triangle array.
void releaseMesh(PrimitiveList* mesh);

} // namespace vantrel
