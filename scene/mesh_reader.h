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

} // namespace vantrel
