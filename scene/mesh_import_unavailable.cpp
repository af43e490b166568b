// The importer's entry points in a build without the asset import library.
#include "vantrel/scene/mesh_import.h"

namespace vantrel {

bool importsMeshFile(const char*) {
    return false;
}

bool refusesMeshFile(const char*) {
    return false;
}

bool meshImportAvailable() {
    return false;
}

PrimitiveList* importMeshBounded(const char*, const Matrix4&, uint64_t, std::string& error) {
    error = "this build reads only the nine-number text format (built without assimp)";
    return nullptr;
}

PrimitiveList* importMesh(const char* path, const Matrix4& transform, std::string& error) {
    return importMeshBounded(path, transform, 0, error);
}

bool importIndexedMesh(const char*, const Matrix4&, uint64_t, IndexedMesh&, std::string& error) {
    error = "this build reads only the nine-number text format (built without assimp)";
    return false;
}

} // namespace vantrel
