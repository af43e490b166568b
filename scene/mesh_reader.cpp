#include "vantrel/scene/mesh_reader.h"

#include "vantrel/scene/mesh_import.h"
#include "vantrel/scene/mesh_load_failure.h"
#include "vantrel/scene/triangle_loader.h"

namespace vantrel {

PrimitiveList* readMesh(const char* path, const Matrix4& transform, std::string& error) {
    error.clear();
    if (importsMeshFile(path))
        return importMesh(path, transform, error);
    if (refusesMeshFile(path)) {
        error = std::string("not a format read here; meshes are read from ") + meshFormatList();
        return nullptr;
    }
    MeshLoadFailure why;
    PrimitiveList* mesh = loadTriangleFile(path, transform, &why);
    if (!mesh)
        error = describeMeshLoadFailure(why);
    return mesh;
}

const char* meshFormatList() {
    return meshImportAvailable() ? ".obj, .ply, .stl, .off, .gltf, .glb and the nine-number text "
                                   "format (.tri, or any other name)"
                                 : "the nine-number text format (this build has no importer)";
}

MeshFace meshFaceOf(const PrimitiveList& mesh, uint32_t triangle) {
    // The readers' lists keep the faces past the triangles' entries, where
    // the file's faces are not its triangles.
    const MeshFace* faces = static_cast<const MeshFace*>(mesh.items[mesh.count + 1].object);
    return faces != nullptr ? faces[triangle] : MeshFace{0, triangle};
}

} // namespace vantrel
