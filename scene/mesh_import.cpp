#include "vantrel/scene/mesh_import.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <set>

#include <assimp/BaseImporter.h>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include "vantrel/scene/import/model_checks.h"
#include "vantrel/scene/import/model_file.h"
#include "vantrel/scene/import/plain_ply.h"
#include "vantrel/scene/memory_left.h"
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

// The formats whose readers the import runs; the library's others are not
// safe against hostile files (crashes, heap corruption, hangs).
constexpr char acceptedExtensions[][6] = {".obj", ".ply", ".stl", ".off", ".gltf", ".glb"};

bool accepted(const std::string& extension) {
    for (const char* e : acceptedExtensions) {
        if (extension == e)
            return true;
    }
    return false;
}

// Leaves the importer only the readers of the accepted formats: one that
// finds no reader for a name falls back on every reader's guess from the
// content.
void keepAcceptedReaders(Assimp::Importer& importer) {
    for (size_t i = importer.GetImporterCount(); i-- > 0;) {
        Assimp::BaseImporter* reader = importer.GetImporter(i);
        std::set<std::string> extensions;
        reader->GetExtensionList(extensions);
        bool keep = false;
        for (const std::string& e : extensions)
            keep = keep || accepted("." + e);
        // Unregistered readers are no longer the importer's to delete.
        if (!keep && importer.UnregisterLoader(reader) == AI_SUCCESS)
            delete reader;
    }
}

class ModelFileStream : public Assimp::IOStream {
  public:
    ModelFileStream(std::FILE* file, uint64_t size) : file_(file), size_(size) {}
    ~ModelFileStream() override { std::fclose(file_); }
    size_t Read(void* buffer, size_t size, size_t count) override {
        return std::fread(buffer, size, count, file_);
    }
    size_t Write(const void*, size_t, size_t) override { return 0; }
    aiReturn Seek(size_t offset, aiOrigin origin) override {
        const int whence = origin == aiOrigin_SET   ? SEEK_SET
                           : origin == aiOrigin_CUR ? SEEK_CUR
                                                    : SEEK_END;
        return fseeko(file_, static_cast<off_t>(offset), whence) == 0 ? aiReturn_SUCCESS
                                                                      : aiReturn_FAILURE;
    }
    size_t Tell() const override { return static_cast<size_t>(ftello(file_)); }
    size_t FileSize() const override { return static_cast<size_t>(size_); }
    void Flush() override {}

  private:
    std::FILE* file_;
    uint64_t size_;
};

// Every file the library opens goes through the model's file access; the
// first refusal is kept, to say why the import failed.
class ModelFileSystem : public Assimp::IOSystem {
  public:
    explicit ModelFileSystem(const ModelFolder& folder) : folder_(folder) {}
    bool Exists(const char* path) const override {
        uint64_t size;
        std::FILE* file = open(path, size);
        if (file)
            std::fclose(file);
        return file != nullptr;
    }
    char getOsSeparator() const override { return '/'; }
    Assimp::IOStream* Open(const char* path, const char* mode) override {
        if (std::strpbrk(mode, "wa+"))
            return nullptr;
        uint64_t size;
        std::FILE* file = open(path, size);
        return file ? new ModelFileStream(file, size) : nullptr;
    }
    void Close(Assimp::IOStream* stream) override { delete stream; }
    const std::string& failure() const { return failure_; }

  private:
    std::FILE* open(const char* path, uint64_t& size) const {
        std::string why;
        std::FILE* file = openModelFile(folder_, path, size, why);
        if (!file && failure_.empty())
            failure_ = path == folder_.model ? why : "'" + std::string(path) + "': " + why;
        return file;
    }
    ModelFolder folder_;
    mutable std::string failure_;
};

// One mesh where one node of the file puts it.
struct Placement {
    const aiMesh* mesh;
    unsigned meshIndex; // in the scene's meshes
    aiMatrix4x4 toScene;
    bool moved; // toScene is not exactly the identity
};

// The meshes of every node, in the file's order, each with the transforms
// of its node and the node's ancestors. Walked with a stack of our own: the
// file decides how deep its nodes nest.
std::vector<Placement> placeMeshes(const aiScene& scene, size_t most) {
    std::vector<Placement> placements;
    std::vector<std::pair<const aiNode*, aiMatrix4x4>> pending;
    if (scene.mRootNode)
        pending.emplace_back(scene.mRootNode, scene.mRootNode->mTransformation);
    while (!pending.empty()) {
        const auto [node, toScene] = pending.back();
        pending.pop_back();
        for (unsigned i = 0; i < node->mNumMeshes && placements.size() <= most; ++i) {
            if (node->mMeshes[i] < scene.mNumMeshes)
                placements.push_back({scene.mMeshes[node->mMeshes[i]], node->mMeshes[i], toScene,
                                      !(toScene == aiMatrix4x4())});
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

// Per mesh, the file's face of each face the library's triangulation makes:
// it replaces a face of c > 3 corners by c - 2 triangles in its place and
// leaves the others be. Empty for a mesh whose count does not add up.
using FileFaces = std::vector<std::vector<uint32_t>>;

FileFaces fileFacesBeforeSplit(const aiScene& scene) {
    FileFaces faces(scene.mNumMeshes);
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh& mesh = *scene.mMeshes[m];
        for (unsigned f = 0; f < mesh.mNumFaces; ++f) {
            const unsigned corners = mesh.mFaces[f].mNumIndices;
            faces[m].insert(faces[m].end(), corners > 3 ? corners - 2 : 1, f);
        }
    }
    return faces;
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
    if (reason.empty())
        return "the import library gave no reason";
    // What the library's words mean for the file.
    if (reason == "std::bad_alloc")
        return "out of memory while the import library read it";
    if (reason.find("mNumMeshes is 0") != std::string::npos)
        return "it holds no mesh the reader could take (" + reason + ")";
    if (reason.compare(0, 24, "No suitable reader found") == 0)
        return "its content is not of the format its name says";
    return reason;
}

std::string mebibytes(uint64_t bytes) {
    return std::to_string((bytes + (1 << 20) - 1) >> 20) + " MiB";
}

// What the process may take now, under the caller's bound if it gave one.
uint64_t memoryAllowed(uint64_t maxBytes, std::string& bound) {
    const MemoryLeft left = processMemoryLeft();
    bound = describeMemoryBound(left.bound);
    if (maxBytes != 0 && maxBytes < left.bytes) {
        bound = "the import's bound";
        return maxBytes;
    }
    return left.bytes;
}

bool fits(uint64_t needed, uint64_t maxBytes, std::string& error) {
    std::string bound;
    const uint64_t allowed = memoryAllowed(maxBytes, bound);
    if (needed <= allowed)
        return true;
    error = "reading it would take about " + mebibytes(needed) + ", more than the " +
            mebibytes(allowed) + " this process may still take (" + bound + ")";
    return false;
}

// The file read without the library where it is a plain PLY (plain_ply.h);
// false otherwise, with nothing said: the library's path then reads it and
// gives any reason.
bool readPlain(const char* path, uint64_t maxBytes, PlainPly& ply) {
    ModelFolder folder;
    std::string unused;
    if (extensionOf(path) != ".ply" || !findModelFolder(path, folder, unused))
        return false;
    uint64_t size = 0;
    std::FILE* file = openModelFile(folder, folder.model, size, unused);
    if (!file)
        return false;
    const bool read = readPlainPly(file, size, memoryAllowed(maxBytes, unused), ply);
    std::fclose(file);
    return read;
}

// What came of reading a plain PLY for a caller that wants bytesEach for
// each of its triangles beyond the arrays.
enum class PlainRead { NotPlain, Refused, Read };

PlainRead readPlainWithin(const char* path, uint64_t maxBytes, uint64_t bytesEach, PlainPly& ply,
                          std::string& error) {
    if (!readPlain(path, maxBytes, ply))
        return PlainRead::NotPlain;
    const uint64_t count = ply.indices.size() / 3;
    if (count > meshTriangleCeiling) {
        error = "more triangles than a list can hold";
        return PlainRead::Refused;
    }
    return fits(count * bytesEach, maxBytes, error) ? PlainRead::Read : PlainRead::Refused;
}

// The file's own check, before the library reads a byte of it.
bool checkModel(const ModelFolder& folder, const std::string& extension, uint64_t maxBytes,
                std::string& error) {
    uint64_t size = 0;
    std::FILE* file = openModelFile(folder, folder.model, size, error);
    if (!file)
        return false;
    ModelCheck check{"", size * libraryBytesPerFileByte};
    // Looked at only once the file could be read at all.
    if (fits(check.libraryBytes, maxBytes, error)) {
        if (extension == ".off")
            check = checkOffModel(file, size);
        else if (extension == ".ply")
            check = checkPlyModel(file, size);
        else if (extension == ".stl")
            check = checkStlModel(file, size);
        else if (extension == ".gltf" || extension == ".glb")
            check = checkGltfModel(file, size, extension == ".glb", folder);
        error = check.error;
    }
    std::fclose(file);
    return error.empty() && fits(check.libraryBytes, maxBytes, error);
}

} // namespace

bool importsMeshFile(const char* path) {
    return accepted(extensionOf(path));
}

bool refusesMeshFile(const char* path) {
    const std::string extension = extensionOf(path);
    return !accepted(extension) && !extension.empty() && extension != ".tri" &&
           Assimp::Importer().IsExtensionSupported(extension.c_str());
}

bool meshImportAvailable() {
    return true;
}

PrimitiveList* importMesh(const char* path, const Matrix4& transform, std::string& error) {
    return importMeshBounded(path, transform, 0, error);
}

namespace {

// The library's scene of the file, its polygons split into triangles, and
// where each of its meshes' faces comes from; null, with the reason, when
// the file cannot be imported within maxBytes.
const aiScene* importScene(Assimp::Importer& importer, const char* path, uint64_t maxBytes,
                           FileFaces& fileFaces, std::string& error) {
    error.clear();
    const std::string extension = extensionOf(path);
    if (!accepted(extension)) {
        error = "not a format the importer reads (.obj, .ply, .stl, .off, .gltf, .glb)";
        return nullptr;
    }
    ModelFolder folder;
    if (!findModelFolder(path, folder, error) || !checkModel(folder, extension, maxBytes, error))
        return nullptr;
    keepAcceptedReaders(importer);
    ModelFileSystem* files = new ModelFileSystem(folder);
    importer.SetIOHandler(files); // the importer's to delete
    const aiScene* scene = importer.ReadFile(path, aiProcess_ValidateDataStructure);
    bool split = false;
    if (scene && !checkFaces(*scene, split, error))
        return nullptr;
    if (scene && split) {
        fileFaces = fileFacesBeforeSplit(*scene);
        scene = importer.ApplyPostProcessing(aiProcess_Triangulate);
    }
    if (!scene)
        error = files->failure().empty() ? reasonOf(importer) : files->failure();
    return scene;
}

// Every mesh placed by the scene's nodes, and its triangles' count; false,
// with the reason, for more than the lists can hold.
bool placedTriangles(const aiScene& scene, std::vector<Placement>& placements, uint64_t& count,
                     std::string& error) {
    const size_t mostPlacements = size_t{1} << 22;
    placements = placeMeshes(scene, mostPlacements);
    if (placements.size() > mostPlacements) {
        error = "the file places more than " + std::to_string(mostPlacements) + " meshes";
        return false;
    }
    count = countTriangles(placements);
    if (count > meshTriangleCeiling) {
        error = "more triangles than a list can hold";
        return false;
    }
    return true;
}

// The file's faces of a placed mesh, where its polygons were split.
const std::vector<uint32_t>* facesOf(const FileFaces& fileFaces, const Placement& p) {
    return p.meshIndex < fileFaces.size() && fileFaces[p.meshIndex].size() == p.mesh->mNumFaces
               ? &fileFaces[p.meshIndex]
               : nullptr;
}

// A vertex of a placed mesh where the file's nodes put it.
aiVector3D placedVertex(const Placement& p, unsigned k) {
    // Most files place nothing: their numbers reach the caller's transform
    // unchanged, as from the text loader.
    return p.moved ? p.toScene * p.mesh->mVertices[k] : p.mesh->mVertices[k];
}

} // namespace

PrimitiveList* importMeshBounded(const char* path, const Matrix4& transform, uint64_t maxBytes,
                                 std::string& error) {
    error.clear();
    PlainPly plain;
    const PlainRead read =
        readPlainWithin(path, maxBytes, sizeof(Triangle) + sizeof(PrimitiveRef), plain, error);
    if (read == PlainRead::Refused)
        return nullptr;
    if (read == PlainRead::Read) {
        const auto count = static_cast<uint32_t>(plain.indices.size() / 3);
        MeshArrays mesh = allocateMeshArrays(count, true);
        for (uint32_t i = 0; i < count; ++i) {
            mesh.faces[i] = {0, i};
            float corners[9];
            for (int k = 0; k < 3; ++k)
                std::memcpy(corners + 3 * k, &plain.vertices[size_t{3} * plain.indices[3 * i + k]],
                            3 * sizeof(float));
            placeMeshTriangle(mesh, i, transform, corners);
        }
        return finishMesh(mesh);
    }
    Assimp::Importer importer;
    FileFaces fileFaces;
    const aiScene* scene = importScene(importer, path, maxBytes, fileFaces, error);
    std::vector<Placement> placements;
    uint64_t count = 0;
    if (!scene || !placedTriangles(*scene, placements, count, error))
        return nullptr;
    // The list itself, weighed while the library still holds the scene.
    if (!fits(count * (sizeof(Triangle) + sizeof(PrimitiveRef)), maxBytes, error))
        return nullptr;

    MeshArrays mesh = allocateMeshArrays(count, true);
    uint32_t i = 0;
    for (const Placement& p : placements) {
        const std::vector<uint32_t>* faces = facesOf(fileFaces, p);
        for (unsigned f = 0; f < p.mesh->mNumFaces; ++f) {
            const aiFace& face = p.mesh->mFaces[f];
            if (!isTriangle(*p.mesh, face))
                continue;
            mesh.faces[i] = {p.meshIndex, faces != nullptr ? (*faces)[f] : f};
            float corners[9];
            for (int k = 0; k < 3; ++k) {
                const aiVector3D v = placedVertex(p, face.mIndices[k]);
                corners[3 * k] = v.x;
                corners[3 * k + 1] = v.y;
                corners[3 * k + 2] = v.z;
            }
            placeMeshTriangle(mesh, i++, transform, corners);
        }
    }
    return finishMesh(mesh);
}

bool importIndexedMesh(const char* path, const Matrix4& transform, uint64_t maxBytes,
                       IndexedMesh& mesh, std::string& error) {
    mesh = IndexedMesh{};
    error.clear();
    PlainPly plain;
    const PlainRead read = readPlainWithin(path, maxBytes, sizeof(MeshFace), plain, error);
    if (read == PlainRead::Refused)
        return false;
    if (read == PlainRead::Read) {
        const auto count = static_cast<uint32_t>(plain.indices.size() / 3);
        for (size_t v = 0; v < plain.vertices.size(); v += 3) {
            float* at = &plain.vertices[v];
            const Vector3 placed = transformPoint(transform, at[0], at[1], at[2]);
            at[0] = placed.x;
            at[1] = placed.y;
            at[2] = placed.z;
        }
        mesh.vertices = std::move(plain.vertices);
        mesh.indices = std::move(plain.indices);
        mesh.faces.resize(count);
        for (uint32_t f = 0; f < count; ++f)
            mesh.faces[f] = {0, f};
        return true;
    }
    Assimp::Importer importer;
    FileFaces fileFaces;
    const aiScene* scene = importScene(importer, path, maxBytes, fileFaces, error);
    std::vector<Placement> placements;
    uint64_t count = 0;
    if (!scene || !placedTriangles(*scene, placements, count, error))
        return false;
    uint64_t vertexCount = 0;
    for (const Placement& p : placements)
        vertexCount += p.mesh->mNumVertices;
    if (vertexCount > UINT32_MAX) {
        error = "more vertices than 32-bit indices can name";
        return false;
    }
    if (!fits(count * (3 * sizeof(uint32_t) + sizeof(MeshFace)) + vertexCount * 3 * sizeof(float),
              maxBytes, error))
        return false;
    mesh.vertices.reserve(vertexCount * 3);
    mesh.indices.reserve(count * 3);
    mesh.faces.reserve(count);
    for (const Placement& p : placements) {
        const auto base = static_cast<uint32_t>(mesh.vertices.size() / 3);
        for (unsigned k = 0; k < p.mesh->mNumVertices; ++k) {
            const aiVector3D v = placedVertex(p, k);
            const Vector3 placed = transformPoint(transform, v.x, v.y, v.z);
            mesh.vertices.insert(mesh.vertices.end(), {placed.x, placed.y, placed.z});
        }
        const std::vector<uint32_t>* faces = facesOf(fileFaces, p);
        for (unsigned f = 0; f < p.mesh->mNumFaces; ++f) {
            const aiFace& face = p.mesh->mFaces[f];
            if (!isTriangle(*p.mesh, face))
                continue;
            mesh.faces.push_back({p.meshIndex, faces != nullptr ? (*faces)[f] : f});
            for (int k = 0; k < 3; ++k)
                mesh.indices.push_back(base + face.mIndices[k]);
        }
    }
    return true;
}

} // namespace vantrel
