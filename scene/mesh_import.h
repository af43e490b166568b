// Reads meshes in the common interchange formats (OBJ, PLY, STL, OFF, glTF
// and GLB) into lists like those of the text loader. A build may leave the
// importer out; these still exist.
#pragma once

#include <cstdint>
#include <string>

#include "vantrel/scene/indexed_mesh.h"
#include "vantrel/scene/records.h"

namespace vantrel {

// True when the importer reads files of this name's extension (any case):
// .obj, .ply, .stl, .off, .gltf, .glb. Never in a build without the
// importer.
bool importsMeshFile(const char* path);

// True for an extension the import library knows but the importer does not
// read: its readers of other formats are not safe against hostile files.
bool refusesMeshFile(const char* path);

// False in a build without the importer.
bool meshImportAvailable();

// Reads every triangle of the file: polygons are split into triangles and
// points and lines left out. Each vertex is placed by the file's own node
// transforms, if any, then transformed as a point by transform exactly as
// loadTriangleFile does; the material is white. The list is laid out as
// loadTriangleFile's and released with releaseMesh. Null when the file
// cannot be imported, with the reason, one line, in error.
//
// Every file the import opens (the model, its materials, its buffers) must
// be a regular file, and the ones the model names must lie in its folder
// or below. What the file declares is weighed before the library reads it,
// and the import is refused when it would take more memory than the
// process may still take (processMemoryLeft in memory_left.h).
PrimitiveList* importMesh(const char* path, const Matrix4& transform, std::string& error);

// As importMesh, but refused also when it would take more than maxBytes.
PrimitiveList* importMeshBounded(const char* path, const Matrix4& transform, uint64_t maxBytes,
                                 std::string& error);

// As importMeshBounded (0: no bound of the caller's), into arrays: each
// placed mesh's vertices once, transformed as importMesh transforms a
// triangle's corners, so the same floats; its triangles as index triples,
// each with the file's mesh and face. False, with the reason, where the
// file cannot be imported.
bool importIndexedMesh(const char* path, const Matrix4& transform, uint64_t maxBytes,
                       IndexedMesh& mesh, std::string& error);

} // namespace vantrel
