// Writes a closed, bumpy surface of about the number of triangles asked for,
// as a binary PLY of shared vertices, the way scans come: a sphere pushed in
// and out by a few waves, so that it has hollows and ridges at several
// scales, and slivers at its poles. For measuring the kernel on models of
// any size.
//
// usage: make_bumpy_sphere TRIANGLES OUTPUT.ply
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/options.h"
#include "tools/common/output_file.h"
#include "tools/common/tool_main.h"

using namespace vantrel;

namespace {

constexpr const char* tool = "make_bumpy_sphere";
constexpr uint64_t mostTriangles = 100000000;

struct Mesh {
    std::vector<float> vertices; // x, y, z
    std::vector<uint32_t> faces; // three a triangle, counter-clockwise seen from outside
};

// rings - 1 circles of 2 rings points between the poles: 4 rings (rings - 1)
// triangles.
Mesh makeBumpySphere(uint32_t rings) {
    const uint32_t around = 2 * rings;
    const double pi = 3.14159265358979323846;
    Mesh mesh;
    const auto point = [&](double theta, double phi) {
        const double r = 1.0 + 0.12 * std::sin(5 * theta) * std::sin(4 * phi) +
                         0.04 * std::sin(17 * theta + 3) * std::sin(13 * phi + 1) +
                         0.01 * std::sin(61 * theta) * std::sin(53 * phi);
        mesh.vertices.push_back(static_cast<float>(r * std::sin(theta) * std::cos(phi)));
        mesh.vertices.push_back(static_cast<float>(r * std::cos(theta)));
        mesh.vertices.push_back(static_cast<float>(r * std::sin(theta) * std::sin(phi)));
    };
    point(0.0, 0.0); // the north pole, vertex 0
    for (uint32_t ring = 1; ring < rings; ++ring)
        for (uint32_t k = 0; k < around; ++k)
            point(pi * ring / rings, 2 * pi * k / around);
    point(pi, 0.0);
    const uint32_t south = 1 + (rings - 1) * around;
    const auto at = [&](uint32_t ring, uint32_t k) { return 1 + (ring - 1) * around + k % around; };
    const auto face = [&](uint32_t a, uint32_t b, uint32_t c) {
        mesh.faces.insert(mesh.faces.end(), {a, b, c});
    };
    for (uint32_t k = 0; k < around; ++k) {
        face(0, at(1, k + 1), at(1, k));
        for (uint32_t ring = 1; ring + 1 < rings; ++ring) {
            face(at(ring, k), at(ring, k + 1), at(ring + 1, k));
            face(at(ring, k + 1), at(ring + 1, k + 1), at(ring + 1, k));
        }
        face(south, at(rings - 1, k), at(rings - 1, k + 1));
    }
    return mesh;
}

bool writePly(std::FILE* out, const Mesh& mesh) {
    const size_t vertexCount = mesh.vertices.size() / 3;
    const size_t faceCount = mesh.faces.size() / 3;
    if (std::fprintf(out,
                     "ply\nformat binary_little_endian 1.0\nelement vertex %zu\n"
                     "property float x\nproperty float y\nproperty float z\nelement face %zu\n"
                     "property list uchar uint vertex_indices\nend_header\n",
                     vertexCount, faceCount) < 0 ||
        std::fwrite(mesh.vertices.data(), sizeof(float), mesh.vertices.size(), out) !=
            mesh.vertices.size())
        return false;
    // The byte order of this machine's integers is the file's: little-endian.
    const uint8_t corners = 3;
    for (size_t f = 0; f < faceCount; ++f) {
        if (std::fwrite(&corners, 1, 1, out) != 1 ||
            std::fwrite(&mesh.faces[3 * f], sizeof(uint32_t), 3, out) != 3)
            return false;
    }
    return true;
}

int run(int argc, char** argv) {
    uint64_t triangles = 0;
    if (argc != 3 || !parseCount(argv[1], mostTriangles, triangles) || triangles < 32)
        return failWith(tool,
                        "usage: make_bumpy_sphere TRIANGLES OUTPUT.ply (TRIANGLES from 32 to " +
                            std::to_string(mostTriangles) + ")",
                        2);
    const auto rings = static_cast<uint32_t>(std::lround((1 + std::sqrt(1.0 + triangles)) / 2));
    const Mesh mesh = makeBumpySphere(rings < 2 ? 2 : rings);
    OutputFile out;
    std::string error;
    if (!openOutput(argv[2], out, error) ||
        !finishOutput(out, writePly(out.stream, mesh), error))
        return failWith(tool, std::string("cannot write '") + argv[2] + "': " + error, 1);
    std::printf("%zu triangles, %zu vertices written to %s\n", mesh.faces.size() / 3,
                mesh.vertices.size() / 3, argv[2]);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return runToolMain(tool, run, argc, argv);
}
