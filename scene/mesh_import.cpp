#include "vantrel/scene/mesh_import.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include "vantrel/scene/mesh_arrays.h"

namespace vantrel {

namespace {

// The extension of the file name, dot included; empty when it has none.
std::string extensionOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    const char* dot = std::strrchr(slash ? slash + 1 : path, '.');
    std::string extension = dot ? dot : "";
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

// One mesh where one node of the file puts it.
struct Placement {
    const aiMesh* mesh;
    aiMatrix4x4 toScene;
    bool moved; // toScene is not exactly the identity
};

// The meshes of every node, in the file's order, each with the transforms
// of its node and the node's ancestors. Walked with a stack of our own: the
// file decides how deep its nodes nest.
std::vector<Placement> placeMeshes(const aiScene& scene) {
    std::vector<Placement> placements;
    std::vector<std::pair<const aiNode*, aiMatrix4x4>> pending;
    if (scene.mRootNode)
        pending.emplace_back(scene.mRootNode, scene.mRootNode->mTransformation);
    while (!pending.empty()) {
        const auto [node, toScene] = pending.back();
        pending.pop_back();
        for (unsigned i = 0; i < node->mNumMeshes; ++i) {
            if (node->mMeshes[i] < scene.mNumMeshes)
                placements.push_back(
                    {scene.mMeshes[node->mMeshes[i]], toScene, !(toScene == aiMatrix4x4())});
        }
        for (unsigned c = node->mNumChildren; c-- > 0;) {
            const aiNode* child = node->mChildren[c];
            pending.emplace_back(child, toScene * child->mTransformation);
        }
    }
    return placements;
}

bool isTriangle(const aiMesh& mesh, const aiFace& face) {
    return face.mNumIndices == 3 && face.mIndices[0] < mesh.mNumVertices &&
           face.mIndices[1] < mesh.mNumVertices && face.mIndices[2] < mesh.mNumVertices;
}

uint64_t countTriangles(const std::vector<Placement>& placements) {
    uint64_t count = 0;
    for (const Placement& p : placements) {
        for (unsigned f = 0; f < p.mesh->mNumFaces; ++f)
            count += isTriangle(*p.mesh, p.mesh->mFaces[f]);
    }
    return count;
}

// The library's PLY reader never ends on a header without its end_header
// line (a file cut short, say), whether the name says PLY or not.
bool plyHeaderUnended(const char* path) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), std::fclose);
    if (!file)
        return false; // the library says why
    int c;
    while ((c = std::fgetc(file.get())) == '\n' || c == '\r') {
    }
    char magic[3] = {static_cast<char>(c)};
    if (std::fread(magic + 1, 1, 2, file.get()) != 2 ||
        (std::strncmp(magic, "ply", 3) != 0 && std::strncmp(magic, "PLY", 3) != 0))
        return false;
    static const char endLine[] = "\nend_header";
    const size_t length = sizeof endLine - 1;
    size_t matched = 0;
    while ((c = std::fgetc(file.get())) != EOF) {
        if (matched == length && std::isspace(c))
            return false;
        matched = matched < length && c == endLine[matched] ? matched + 1 : (c == '\n');
    }
    return matched != length;
}

// The library's triangulation aborts the process on a mesh that says it has
// polygons but has none, which its PLY reader makes of a file cut short
// (faces without corners). Splitting is needed only where a face has more
// than three corners.
bool checkFaces(const aiScene& scene, bool& split, std::string& error) {
    split = false;
    bool claimsPolygons = false;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        bool polygons = false;
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            if (mesh.mFaces[f].mNumIndices == 0) {
                error = "a face without corners (is the file cut short?)";
                return false;
            }
            polygons = polygons || mesh.mFaces[f].mNumIndices > 3;
        }
        claimsPolygons =
            claimsPolygons || (!polygons && (mesh.mPrimitiveTypes & aiPrimitiveType_POLYGON));
        split = split || polygons;
    }
    if (split && claimsPolygons) {
        error = "a mesh that says it has polygons but has none";
        return false;
    }
    return true;
}

// The library's reason on one line.
std::string reasonOf(const Assimp::Importer& importer) {
    std::string reason = importer.GetErrorString();
    for (char& c : reason) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    while (!reason.empty() && reason.back() == ' ')
        reason.pop_back();
    return reason.empty() ? "the import library gave no reason" : reason;
}

} // namespace

bool importsMeshFile(const char* path) {
    const std::string extension = extensionOf(path);
    if (extension.empty() || extension == ".tri")
        return false;
    return Assimp::Importer().IsExtensionSupported(extension.c_str());
}

PrimitiveList* importMesh(const char* path, const Matrix4& transform, std::string& error) {
    if (plyHeaderUnended(path)) {
        error = "PLY header without an end_header line";
        return nullptr;
    }
    Assimp::Importer importer;
    const aiScene* scene = importer.ReadFile(path, aiProcess_ValidateDataStructure);
    bool split = false;
    if (scene && !checkFaces(*scene, split, error))
        return nullptr;
    if (scene && split)
        scene = importer.ApplyPostProcessing(aiProcess_Triangulate);
    if (!scene) {
        error = reasonOf(importer);
        return nullptr;
    }
    const std::vector<Placement> placements = placeMeshes(*scene);
    const uint64_t count = countTriangles(placements);
    if (count > meshTriangleCeiling) {
        error = "more triangles than a list can hold";
        return nullptr;
    }

    MeshArrays mesh = allocateMeshArrays(count);
    uint32_t i = 0;
    for (const Placement& p : placements) {
        for (unsigned f = 0; f < p.mesh->mNumFaces; ++f) {
            const aiFace& face = p.mesh->mFaces[f];
            if (!isTriangle(*p.mesh, face))
                continue;
            float corners[9];
            for (int k = 0; k < 3; ++k) {
                aiVector3D v = p.mesh->mVertices[face.mIndices[k]];
                // Most files place nothing: their numbers reach the caller's
                // transform unchanged, as from the text loader.
                if (p.moved)
                    v = p.toScene * v;
                corners[3 * k] = v.x;
                corners[3 * k + 1] = v.y;
                corners[3 * k + 2] = v.z;
            }
            placeMeshTriangle(mesh, i++, transform, corners);
        }
    }
    return finishMesh(mesh);
}

} // namespace vantrel
