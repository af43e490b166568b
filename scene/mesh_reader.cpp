#include "vantrel/scene/mesh_reader.h"

#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/mesh_load_failure.h"
#include "vantrel/scene/triangle_loader.h"

namespace vantrel {

PrimitiveList* readMesh(const char* path, const Matrix4& transform, std::string& error) {
    error.clear();
    if (importsMeshFile(path))
        return importMesh(path, transform, error);
    MeshLoadFailure why;
    PrimitiveList* mesh = loadTriangleFile(path, transform, &why);
    if (!mesh)
        error = describeMeshLoadFailure(why);
    return mesh;
}

} // namespace vantrel
