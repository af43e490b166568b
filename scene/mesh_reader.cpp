#include "vantrel/scene/mesh_reader.h"

#include "vantrel/scene/indexed_mesh.h"
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

bool readIndexedMesh(const char* path, const Matrix4& transform, IndexedMesh& mesh,
                     std::string& error) {
    error.clear();
    if (importsMeshFile(path))
        return importIndexedMesh(path, transform, 0, mesh, error);
    mesh = IndexedMesh{};
    PrimitiveList* list = readMesh(path, transform, error);
    if (!list)
        return false;
    mesh.vertices.reserve(size_t{9} * list->count);
    mesh.indices.reserve(size_t{3} * list->count);
    mesh.faces.reserve(list->count);
    for (uint32_t i = 0; i < list->count; ++i) {
        const Triangle& t = *static_cast<const Triangle*>(list->items[i].object);
        for (const Vector3& v : {t.V0, t.V1, t.V2}) {
            mesh.indices.push_back(static_cast<uint32_t>(mesh.vertices.size() / 3));
            mesh.vertices.insert(mesh.vertices.end(), {v.x, v.y, v.z});
        }
        mesh.faces.push_back({0, i});
    }
    releaseMesh(list);
    return true;
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
