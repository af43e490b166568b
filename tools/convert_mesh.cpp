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

#include "tools/common/mesh_placement.h"
#include "tools/common/options.h"
#include "tools/common/orbit.h"
#include "tools/common/output_file.h"
#include "tools/common/scene_warnings.h"
#include "tools/common/tool_main.h"
#include "vantrel/scene/mesh_reader.h"
#include "vantrel/scene/triangle_loader.h"

using namespace vantrel;

namespace {

constexpr const char* tool = "vantrel-convert";

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

// The mesh's triangles that a ray can hit, in its order.
std::vector<PrimitiveRef> hittable(const PrimitiveList& mesh) {
    std::vector<PrimitiveRef> kept;
    for (uint32_t i = 0; i < mesh.count; ++i)
        if (triangleCanBeHit(*static_cast<const Triangle*>(mesh.items[i].object)))
            kept.push_back(mesh.items[i]);
    return kept;
}

struct MeshReleaser {
    void operator()(PrimitiveList* mesh) const { releaseMesh(mesh); }
};

void printHelp() {
    std::printf("usage: vantrel-convert [--normalise] IN OUT.tri\n"
                "Writes the triangles of the mesh IN in the nine-number text format.\n"
                "IN: %s.\n"
                "  --normalise  centre the mesh on the origin and scale it so that its largest\n"
                "               half-extent is 11, as the benchmark places a mesh; triangles\n"
                "               no ray can hit (not finite, or without area) are left out,\n"
                "               with a warning\n"
                "  --help       this text\n",
                meshFormatList());
}

int convert(int argc, char** argv) {
    bool normalise = false;
    std::vector<std::string> paths;
    const OptionNames names{{"--help", "-h", "--normalise", "--normalize"}, {}};
    Arguments arguments{argc, argv};
    Argument argument;
    std::string error;
    while (nextArgument(arguments, names, argument, error)) {
        if (argument.operand) {
            paths.push_back(argument.name);
        } else if (argument.name == "--help" || argument.name == "-h") {
            printHelp();
            return 0;
        } else {
            normalise = true;
        }
    }
    if (!error.empty())
        return failWith(tool, error, 2);
    if (paths.size() != 2 || !endsInTri(paths[1]))
        return failWith(tool,
                        std::string("usage: vantrel-convert [--normalise] IN OUT.tri (IN: ") +
                            meshFormatList() + "; --help tells more)",
                        2);
    const char* in = paths[0].c_str();
    const char* out = paths[1].c_str();

    std::string reason;
    bool unplaceable = false;
    const std::unique_ptr<PrimitiveList, MeshReleaser> mesh(
        loadToolMesh(in, !normalise, reason, &unplaceable));
    if (unplaceable)
        return failWith(
            tool, std::string("cannot normalise '") + in + "': " + reason + "; nothing written", 1);
    if (!mesh && !reason.empty())
        return failWith(tool, std::string("cannot import '") + in + "': " + reason, 1);
    if (!mesh)
        return failWith(tool, std::string("cannot read a mesh from '") + in + "'", 1);

    // An empty file would read back as a mesh without a word.
    if (mesh->count == 0)
        return failWith(tool,
                        std::string("'") + in +
                            "' holds no triangle (points and lines are not read); nothing written",
                        1);
    // Placed, a triangle that is not finite would be written as NaN, and one
    // without area (a point far off, say) shows nothing; they were not
    // placed by, and are left out.
    const std::vector<PrimitiveRef> kept =
        normalise ? hittable(*mesh)
                  : std::vector<PrimitiveRef>(mesh->items, mesh->items + mesh->count);
    const uint32_t leftOut = mesh->count - static_cast<uint32_t>(kept.size());
    if (leftOut > 0) {
        const MeshSurvey survey = surveyMesh(*mesh);
        const std::string why =
            std::to_string(survey.leftOut) +
            " have a coordinate beyond float range or NaN, once placed, and " +
            std::to_string(survey.flat) +
            " have no area (their corners on one line or at one point): no ray can hit them";
        if (kept.empty())
            return failWith(tool,
                            std::string("'") + in + "' holds no triangle a ray can hit (" + why +
                                "); nothing written",
                            1);
        warn(tool, std::to_string(leftOut) + " of " + std::to_string(mesh->count) +
                       " triangles are left out: " + why);
    }
    const PrimitiveList written{const_cast<PrimitiveRef*>(kept.data()),
                                static_cast<uint32_t>(kept.size())};
    if (!writeMesh(out, written, error))
        return failWith(tool, std::string("cannot write '") + out + "': " + error, 1);
    std::printf("%u triangles from %s written to %s\n", written.count, in, out);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runToolMain(tool, convert, argc, argv);
}
