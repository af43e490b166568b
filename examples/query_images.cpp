// Ray queries from a camera of one's own: reads a mesh at its own
// coordinates, aims a camera at it from EYE, and writes what each pixel's
// ray hits as three images: depth (near light, far dark), the unit normal
// as a colour, and the triangle's index in the file as a colour of its own.
//
// usage: query_images MESH OUT_PREFIX [EX EY EZ]
//   writes OUT_PREFIX-depth.png, OUT_PREFIX-normal.png, OUT_PREFIX-id.png
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <png.h>
#include <vantrel/vantrel.h>

using namespace vantrel;

static bool writePng(const std::string& path, const std::vector<uint8_t>& rgb, int w, int h) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGB;
    if (png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr))
        return true;
    std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), image.message);
    return false;
}

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::fprintf(stderr, "usage: query_images MESH OUT_PREFIX [EX EY EZ]\n");
        return 2;
    }
    const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
    // Vertices and index triples, as scans come: no record per triangle.
    IndexedMesh mesh;
    std::string reason;
    if (!readIndexedMesh(argv[1], asItIs, mesh, reason)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reason.c_str());
        return 1;
    }
    const auto triangles = static_cast<uint32_t>(mesh.indices.size() / 3);
    QueryScene scene;
    Vector3 lower;
    Vector3 upper;
    if (buildQueryScene(scene, mesh.vertices.data(),
                        static_cast<uint32_t>(mesh.vertices.size() / 3), mesh.indices.data(),
                        triangles, QueryBuildOptions{}) != BuildResult::Built ||
        !querySceneBounds(scene, lower, upper)) {
        std::fprintf(stderr, "%s: nothing to trace\n", argv[1]);
        return 1;
    }
    // The camera looks at the box's centre, by default from a corner of it.
    const float lo[3] = {lower.x, lower.y, lower.z};
    const float hi[3] = {upper.x, upper.y, upper.z};
    const Vector3 centre{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
    const Vector3 eye =
        argc == 6 ? Vector3{std::strtof(argv[3], nullptr), std::strtof(argv[4], nullptr),
                            std::strtof(argv[5], nullptr)}
                  : Vector3{2 * hi[0] - centre.x, 2 * hi[1] - centre.y, 2 * hi[2] - centre.z};
    const auto unit = [](Vector3 v) { return v * (1 / std::sqrt(dot(v, v))); };
    const Vector3 forward = unit(centre - eye);
    const Vector3 right =
        unit(cross(forward, std::fabs(forward.y) < 0.99f ? Vector3{0, 1, 0} : Vector3{1, 0, 0}));
    const Vector3 up = cross(right, forward);
    const int w = 512, h = 384;
    const float tanHalf = std::tan(0.5f * 45 * 3.14159265f / 180);
    std::vector<QueryRay> rays(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float sx = (2 * (x + 0.5f) / w - 1) * tanHalf * w / h;
            const float sy = (1 - 2 * (y + 0.5f) / h) * tanHalf;
            // Not normalised: t then counts in lengths of this direction.
            rays[y * w + x] = {eye, forward + right * sx + up * sy, 0.0f, INFINITY};
        }
    std::vector<QueryHit> hits(rays.size());
    WorkerPool pool; // one thread per core
    intersectNearest(pool, scene, rays.data(), hits.data(), rays.size());

    float nearest = INFINITY, farthest = 0;
    for (const QueryHit& hit : hits)
        if (hit.primitive != noPrimitive) {
            nearest = std::min(nearest, hit.t);
            farthest = std::max(farthest, hit.t);
        }
    std::vector<uint8_t> depth(3 * rays.size()), normal(3 * rays.size()), id(3 * rays.size());
    for (size_t i = 0; i < hits.size(); ++i) {
        const QueryHit& hit = hits[i];
        if (hit.primitive == noPrimitive)
            continue;
        const float near = farthest > nearest ? (farthest - hit.t) / (farthest - nearest) : 1;
        const uint8_t grey = static_cast<uint8_t>(40 + 215 * near);
        std::fill_n(&depth[3 * i], 3, grey);
        const float n[3] = {hit.normal.x, hit.normal.y, hit.normal.z};
        for (int k = 0; k < 3; ++k)
            normal[3 * i + k] = static_cast<uint8_t>(127.5f + 127 * n[k]);
        // The file's own face: the mesh readers keep it for every triangle.
        const MeshFace face = mesh.faces[hit.primitive];
        const uint32_t key = (face.face + 1) * 2654435761u ^ face.mesh * 40503u;
        for (int k = 0; k < 3; ++k)
            id[3 * i + k] = static_cast<uint8_t>(64 + (key >> (8 * k)) % 192);
    }
    const std::string prefix = argv[2];
    const bool written = writePng(prefix + "-depth.png", depth, w, h) &&
                         writePng(prefix + "-normal.png", normal, w, h) &&
                         writePng(prefix + "-id.png", id, w, h);
    std::printf("%u triangles, %zu of %zu pixels hit\n", triangles,
                static_cast<size_t>(std::count_if(
                    hits.begin(), hits.end(),
                    [](const QueryHit& hit) { return hit.primitive != noPrimitive; })),
                hits.size());
    releaseQueryScene(scene);
    return written ? 0 : 1;
}
