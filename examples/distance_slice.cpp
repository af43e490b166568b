// Signed distance to a scan, on a slice through it: reads a mesh at its own
// coordinates into a geometry scene, measures from every pixel of a plane
// across the middle of its box (along z) the distance to the surface,
// negative inside, and writes it as a picture: blue inside, orange outside,
// darker farther from the surface, with a dark line every tenth of the box.
//
// usage: distance_slice MESH OUT.png [SIZE]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <png.h>
#include <vantrel/vantrel.h>

using namespace vantrel;

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: distance_slice MESH OUT.png [SIZE]\n");
        return 2;
    }
    const int size = argc == 4 ? std::atoi(argv[3]) : 512;
    if (size < 2 || size > 8192) {
        std::fprintf(stderr, "SIZE must be from 2 to 8192\n");
        return 2;
    }
    const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
    IndexedMesh mesh;
    std::string reason;
    if (!readIndexedMesh(argv[1], asItIs, mesh, reason)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reason.c_str());
        return 1;
    }
    GeometryScene scene;
    addTriangles(scene, mesh.vertices.data(), static_cast<uint32_t>(mesh.vertices.size() / 3),
                 mesh.indices.data(), static_cast<uint32_t>(mesh.indices.size() / 3));
    double lower[3];
    double upper[3];
    if (buildGeometryScene(scene) != BuildResult::Built ||
        !geometrySceneBounds(scene, lower, upper)) {
        std::fprintf(stderr, "%s: nothing to measure\n", argv[1]);
        return 1;
    }
    // The slice: the box's x and y, a tenth wider each way, at its middle z.
    const double reach = std::max(upper[0] - lower[0], upper[1] - lower[1]) * 0.6;
    const double middle[3] = {(lower[0] + upper[0]) / 2, (lower[1] + upper[1]) / 2,
                              (lower[2] + upper[2]) / 2};
    std::vector<Vector3> points;
    for (int row = 0; row < size; ++row)
        for (int column = 0; column < size; ++column)
            points.push_back(
                {static_cast<float>(middle[0] + reach * (2.0 * column / (size - 1) - 1)),
                 static_cast<float>(middle[1] + reach * (1 - 2.0 * row / (size - 1))),
                 static_cast<float>(middle[2])});
    std::vector<float> distances(points.size());
    WorkerPool pool;
    signedDistances(pool, scene, points.data(), distances.data(), points.size());

    const double step = reach / 5; // a line every tenth of the slice
    std::vector<uint8_t> rgb(points.size() * 3);
    size_t inside = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const double d = distances[i];
        inside += d < 0;
        const double shade = std::exp(-std::fabs(d) / (2 * step));
        const double line = std::fabs(std::remainder(d, step)) < step * 0.04 ? 0.45 : 1.0;
        const double colour[3] = {d < 0 ? 0.2 : 1.0, d < 0 ? 0.45 : 0.6, d < 0 ? 1.0 : 0.2};
        for (int k = 0; k < 3; ++k)
            rgb[3 * i + k] = static_cast<uint8_t>(255 * colour[k] * (0.25 + 0.75 * shade) * line);
    }
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(size);
    image.height = static_cast<png_uint_32>(size);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, argv[2], 0, rgb.data(), 0, nullptr)) {
        std::fprintf(stderr, "cannot write %s: %s\n", argv[2], image.message);
        return 1;
    }
    const auto [least, most] = std::minmax_element(distances.begin(), distances.end());
    std::printf("%zu points, %zu inside, signed distances from %.4g to %.4g\n", points.size(),
                inside, *least, *most);
    releaseGeometryScene(scene);
    return 0;
}
