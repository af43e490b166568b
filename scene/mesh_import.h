// Reads meshes in the common interchange formats (OBJ, PLY, STL, OFF, glTF
// and the others the asset import library knows) into lists like those of
// the text loader. A build may leave the importer out; these still exist.
#pragma once

#include <string>

#include "vantrel/scene/records.h"

namespace vantrel {

// True when the importer reads files of this name's extension (any case).
// Never for .tri, the text format, nor in a build without the importer.
bool importsMeshFile(const char* path);

// Reads every triangle of the file: polygons are split into triangles and
// points and lines left out. Each vertex is placed by the file's own node
// transforms, if any, then transformed as a point by transform exactly as
// loadTriangleFile does; the material is white. The list is laid out as
// loadTriangleFile's and released with releaseMesh. Null when the file
// cannot be imported, with the library's reason, one line, in error.
PrimitiveList* importMesh(const char* path, const Matrix4& transform, std::string& error);

} // namespace vantrel
