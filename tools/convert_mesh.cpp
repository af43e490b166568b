// vantrel-convert: writes the triangles of any mesh the kernel reads (the
// importer's formats, or .tri) in the nine-number text format, so that
// loadMesh and programs that read only that format can take them.
//
// usage: vantrel-convert IN OUT.tri
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/triangle_loader.h"

using namespace vantrel;

namespace {

int failWith(const std::string& message, int status) {
    std::fprintf(stderr, "vantrel-convert: %s\n", message.c_str());
    return status;
}

bool endsInTri(const std::string& path) {
    if (path.size() < 4)
        return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".tri";
}

// Nine significant digits tell every float apart, so the text loader reads
// back exactly the floats written.
bool writeTriangle(std::FILE* out, const Triangle& t) {
    return std::fprintf(out, "%.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g %.9g\n", t.V0.x, t.V0.y,
                        t.V0.z, t.V1.x, t.V1.y, t.V1.z, t.V2.x, t.V2.y, t.V2.z) > 0;
}

// False, with errno set, when anything could not be written.
bool writeMesh(const char* path, const PrimitiveList& mesh) {
    std::FILE* out = std::fopen(path, "w");
    if (!out)
        return false;
    bool written = true;
    for (uint32_t i = 0; i < mesh.count && written; ++i)
        written = writeTriangle(out, *static_cast<const Triangle*>(mesh.items[i].object));
    // A full disk shows only when the buffer is flushed.
    const int savedErrno = errno;
    if (std::fclose(out) != 0)
        return false;
    errno = savedErrno;
    return written;
}

struct MeshReleaser {
    void operator()(PrimitiveList* mesh) const { releaseMesh(mesh); }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || !endsInTri(argv[2]))
        return failWith("usage: vantrel-convert IN OUT.tri (IN: .obj, .ply, .stl, .off, .gltf, "
                        ".glb, .tri or another format the importer reads)",
                        2);
    const char* in = argv[1];
    const char* out = argv[2];

    const Matrix4 identity = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
    std::string reason;
    const std::unique_ptr<PrimitiveList, MeshReleaser> mesh(readMesh(in, identity, reason));
    if (!mesh && !reason.empty())
        return failWith(std::string("cannot import '") + in + "': " + reason, 1);
    if (!mesh)
        return failWith(std::string("cannot read a mesh from '") + in + "'", 1);

    errno = 0;
    if (!writeMesh(out, *mesh))
        return failWith(std::string("cannot write '") + out +
                            "': " + (errno ? std::strerror(errno) : "write failed"),
                        1);
    std::printf("%u triangles from %s written to %s\n", mesh->count, in, out);
    return 0;
}
