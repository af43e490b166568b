// One call that reads a mesh file in whichever format its name says.
#pragma once

#include <string>

#include "scene/records.h"

namespace vantrel {

// The importer (importMesh) for the extensions it reads, the text loader
// (loadTriangleFile) for .tri and every other name. Release the list with
// releaseMesh. Null when the file cannot be read; error then holds the
// importer's reason, or nothing when the text loader refused the file.
PrimitiveList* readMesh(const char* path, const Matrix4& transform, std::string& error);

} // namespace vantrel
