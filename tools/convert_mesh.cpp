// vantrel-convert: writes the triangles of any mesh the kernel reads (the
// importer's formats, or .tri) in the nine-number text format, so that
// loadMesh and programs that read only that format can take them.
//
// usage: vantrel-convert [--normalise] IN OUT.tri
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/bench/mesh_placement.h"
#include "tools/output_file.h"
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

// False, with the reason in error, when anything could not be written; the
// file at path is then as it was.
bool writeMesh(const char* path, const PrimitiveList& mesh, std::string& error) {
    OutputFile out;
    if (!openOutput(path, out, error))
        return false;
    bool written = true;
    for (uint32_t i = 0; i < mesh.count && written; ++i)
        written = writeTriangle(out.stream, *static_cast<const Triangle*>(mesh.items[i].object));
    return finishOutput(out, written, error);
}

struct MeshReleaser {
    void operator()(PrimitiveList* mesh) const { releaseMesh(mesh); }
};

void printHelp() {
    std::printf("usage: vantrel-convert [--normalise] IN OUT.tri\n"
                "Writes the triangles of the mesh IN in the nine-number text format.\n"
                "IN: %s.\n"
                "  --normalise  centre the mesh on the origin and scale it so that its largest\n"
                "               half-extent is 11, as the benchmark places a mesh\n"
                "  --help       this text\n",
                meshFormatList());
}

} // namespace

int main(int argc, char** argv) {
    bool normalise = false;
    std::vector<const char*> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            printHelp();
            return 0;
        }
        if (arg == "--normalise" || arg == "--normalize")
            normalise = true;
        else
            paths.push_back(argv[i]);
    }
    if (paths.size() != 2 || !endsInTri(paths[1]))
        return failWith(std::string("usage: vantrel-convert [--normalise] IN OUT.tri (IN: ") +
                            meshFormatList() + "; --help tells more)",
                        2);
    const char* in = paths[0];
    const char* out = paths[1];

    std::string reason;
    const std::unique_ptr<PrimitiveList, MeshReleaser> mesh(loadBenchMesh(in, !normalise, reason));
    if (!mesh && !reason.empty())
        return failWith(std::string("cannot import '") + in + "': " + reason, 1);
    if (!mesh)
        return failWith(std::string("cannot read a mesh from '") + in + "'", 1);

    // An empty file would read back as a mesh without a word.
    if (mesh->count == 0)
        return failWith(std::string("'") + in +
                            "' holds no triangle (points and lines are not read); nothing written",
                        1);
    std::string error;
    if (!writeMesh(out, *mesh, error))
        return failWith(std::string("cannot write '") + out + "': " + error, 1);
    std::printf("%u triangles from %s written to %s\n", mesh->count, in, out);
    return 0;
}
