#include "scene/mesh_reader.h"

#include "scene/mesh_import.h"
#include "scene/triangle_loader.h"

namespace vantrel {

PrimitiveList* readMesh(const char* path, const Matrix4& transform, std::string& error) {
    error.clear();
    if (importsMeshFile(path))
        return importMesh(path, transform, error);
    return loadTriangleFile(path, transform);
}

} // namespace vantrel
