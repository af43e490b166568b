// One call that reads a mesh file in whichever format its name says.
#pragma once

#include <string>

#include "vantrel/scene/records.h"

namespace vantrel {

// The importer (importMesh) for .obj, .ply, .stl, .off, .gltf and .glb; a
// refusal, naming the formats read, for the import library's other
// formats; the text loader (loadTriangleFile) for .tri and every other
// name. Release the list with releaseMesh. Null when the file cannot be
// read; error then holds the reason, the importer's or the text loader's,
// in one line.
PrimitiveList* readMesh(const char* path, const Matrix4& transform, std::string& error);

// The formats readMesh takes, for messages.
const char* meshFormatList();

// Where a triangle of a mesh comes from in its file: the file's mesh, in the
// order the import library lists them (a glTF mesh's primitives are meshes
// of their own), and the face within it, in the file's order; a polygon
// split into triangles gives each of them its face. A mesh placed by several
// nodes gives each copy the same faces.
struct MeshFace {
    uint32_t mesh;
    uint32_t face;
};

// Triangle i's face, for a list one of the mesh readers returned (readMesh,
// importMesh, loadTriangleFile, loadMesh): for the text format, mesh 0 and
// face i.
MeshFace meshFaceOf(const PrimitiveList& mesh, uint32_t triangle);

} // namespace vantrel
