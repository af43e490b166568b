// Writes a unit sphere as a subdivided icosahedron in the nine-number
// triangle format, every face wound so that its normal points outward.
//
// usage: make_icosphere [subdivisions [output]]   (defaults: 2, standard output)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/output_file.h"

namespace {

struct Point {
    double x;
    double y;
    double z;
};

struct Face {
    int a;
    int b;
    int c;
};

// Each step makes four faces of one, so 7 already gives 327,680 triangles.
constexpr int maxSubdivisions = 7;

Point onUnitSphere(const Point& p) {
    const double length = std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
    return {p.x / length, p.y / length, p.z / length};
}

struct Mesh {
    std::vector<Point> points;
    std::vector<Face> faces;
};

Mesh makeIcosahedron() {
    const double t = (1.0 + std::sqrt(5.0)) / 2.0;
    const Point corners[12] = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0},
                               {0, -1, t}, {0, 1, t}, {0, -1, -t}, {0, 1, -t},
                               {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
    Mesh mesh;
    for (const Point& corner : corners)
        mesh.points.push_back(onUnitSphere(corner));
    // Counter-clockwise seen from outside.
    mesh.faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11},
                  {1, 5, 9},  {5, 11, 4}, {11, 10, 2}, {10, 7, 6}, {7, 1, 8},
                  {3, 9, 4},  {3, 4, 2},  {3, 2, 6},   {3, 6, 8},  {3, 8, 9},
                  {4, 9, 5},  {2, 4, 11}, {6, 2, 10},  {8, 6, 7},  {9, 8, 1}};
    return mesh;
}

// Splits every face into four; the corner faces keep the parent's winding.
void subdivide(Mesh& mesh) {
    // Shared edges must share their midpoint, or the surface would crack.
    std::map<std::pair<int, int>, int> midpoints;
    const auto midpoint = [&](int i, int j) {
        const std::pair<int, int> edge = i < j ? std::make_pair(i, j) : std::make_pair(j, i);
        const auto found = midpoints.find(edge);
        if (found != midpoints.end())
            return found->second;
        const Point p = mesh.points[i];
        const Point q = mesh.points[j];
        mesh.points.push_back(onUnitSphere({(p.x + q.x) / 2, (p.y + q.y) / 2, (p.z + q.z) / 2}));
        const int index = static_cast<int>(mesh.points.size()) - 1;
        midpoints.emplace(edge, index);
        return index;
    };

    std::vector<Face> finer;
    finer.reserve(mesh.faces.size() * 4);
    for (const Face& f : mesh.faces) {
        const int ab = midpoint(f.a, f.b);
        const int bc = midpoint(f.b, f.c);
        const int ca = midpoint(f.c, f.a);
        finer.push_back({f.a, ab, ca});
        finer.push_back({f.b, bc, ab});
        finer.push_back({f.c, ca, bc});
        finer.push_back({ab, bc, ca});
    }
    mesh.faces.swap(finer);
}

// One triangle per line. Nine significant digits give back the same float
// when the file is read.
void writeMesh(const Mesh& mesh, std::FILE* out) {
    for (const Face& f : mesh.faces) {
        const Point* corners[3] = {&mesh.points[f.a], &mesh.points[f.b], &mesh.points[f.c]};
        for (int k = 0; k < 3; ++k)
            std::fprintf(out, "%.9g %.9g %.9g%s", static_cast<float>(corners[k]->x),
                         static_cast<float>(corners[k]->y), static_cast<float>(corners[k]->z),
                         k == 2 ? "\n" : " ");
    }
}

} // namespace

int main(int argc, char** argv) {
    int subdivisions = 2;
    if (argc > 1) {
        char* end = nullptr;
        const long value = std::strtol(argv[1], &end, 10);
        if (*argv[1] == '\0' || *end != '\0' || value < 0 || value > maxSubdivisions) {
            std::fprintf(stderr, "subdivisions must be a whole number from 0 to %d\n",
                         maxSubdivisions);
            return 1;
        }
        subdivisions = static_cast<int>(value);
    }

    Mesh mesh = makeIcosahedron();
    for (int step = 0; step < subdivisions; ++step)
        subdivide(mesh);

    if (argc <= 2) {
        writeMesh(mesh, stdout);
        // A full disk shows up only when the buffered text is flushed.
        if (std::ferror(stdout) || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "could not write the mesh\n");
            return 1;
        }
        return 0;
    }
    vantrel::OutputFile out;
    std::string error;
    if (!vantrel::openOutput(argv[2], out, error)) {
        std::fprintf(stderr, "%s: %s\n", argv[2], error.c_str());
        return 1;
    }
    writeMesh(mesh, out.stream);
    if (!vantrel::finishOutput(out, !std::ferror(out.stream), error)) {
        std::fprintf(stderr, "could not write the mesh to %s: %s\n", argv[2], error.c_str());
        return 1;
    }
    return 0;
}
