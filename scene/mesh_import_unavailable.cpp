// The importer's entry points in a build without the asset import library.
#include "vantrel/scene/mesh_import.h"

namespace vantrel {

bool importsMeshFile(const char*) {
    return false;
}

PrimitiveList* importMesh(const char*, const Matrix4&, std::string& error) {
    error = "this build reads only the nine-number text format (built without assimp)";
    return nullptr;
}

} // namespace vantrel
