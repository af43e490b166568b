// Ambient occlusion through occlusion queries on every core: reads a mesh
// at its own coordinates, finds what each pixel sees, then asks of 16
// directions over each hit point whether anything lies within a fifth of
// the model's size. The image is the share of directions left open; the
// count of directions found blocked is printed.
//
// usage: ambient_occlusion MESH OUT.png
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <png.h>
#include <vantrel/vantrel.h>

using namespace vantrel;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ambient_occlusion MESH OUT.png\n");
        return 2;
    }
    const Matrix4 asItIs = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
    std::string reason;
    PrimitiveList* mesh = readMesh(argv[1], asItIs, reason);
    QueryScene scene;
    Vector3 lower;
    Vector3 upper;
    if (!mesh || buildQueryScene(scene, *mesh, QueryBuildOptions{}) != BuildResult::Built ||
        !querySceneBounds(scene, lower, upper)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], mesh ? "nothing to trace" : reason.c_str());
        releaseMesh(mesh);
        return 1;
    }
    const float lo[3] = {lower.x, lower.y, lower.z};
    const float hi[3] = {upper.x, upper.y, upper.z};
    const Vector3 centre{(lo[0] + hi[0]) / 2, (lo[1] + hi[1]) / 2, (lo[2] + hi[2]) / 2};
    const Vector3 corner{hi[0], hi[1], hi[2]};
    const float size = std::sqrt(dot(corner - centre, corner - centre)) * 2;
    const Vector3 eye = centre + (corner - centre) * 1.6f;
    const auto unit = [](Vector3 v) { return v * (1 / std::sqrt(dot(v, v))); };
    const Vector3 forward = unit(centre - eye);
    const Vector3 right =
        unit(cross(forward, std::fabs(forward.y) < 0.99f ? Vector3{0, 1, 0} : Vector3{1, 0, 0}));
    const Vector3 up = cross(right, forward);
    const int w = 512, h = 384, directions = 16;
    std::vector<QueryRay> rays(w * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            rays[y * w + x] = {eye,
                               forward + right * ((2 * (x + 0.5f) / w - 1) * 0.55f) +
                                   up * ((1 - 2 * (y + 0.5f) / h) * 0.55f * h / w),
                               0.0f, INFINITY};
    WorkerPool pool; // one thread per core
    std::vector<QueryHit> hits(rays.size());
    intersectNearest(pool, scene, rays.data(), hits.data(), rays.size());

    // Directions over the side of the surface the camera sees, from a
    // fixed sequence, so that every run gives the same picture.
    std::vector<QueryRay> occlusion;
    uint32_t state = 1;
    const auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) * (2.0f / 16777216.0f) - 1.0f;
    };
    // A hit point is where the ray meets the surface only to the floats'
    // rounding, on either side of it: lifted off along the normal by more
    // than that, so that no direction finds the surface it leaves, however
    // closely it runs along it. At any scale, and anywhere.
    const float farthest = std::max({std::fabs(lo[0]), std::fabs(lo[1]), std::fabs(lo[2]),
                                     std::fabs(hi[0]), std::fabs(hi[1]), std::fabs(hi[2])});
    const float lift = 1e-5f * std::max(size, farthest);
    for (size_t i = 0; i < hits.size(); ++i) {
        if (hits[i].primitive == noPrimitive)
            continue;
        const Vector3 facing =
            dot(hits[i].normal, rays[i].direction) < 0 ? hits[i].normal : hits[i].normal * -1.0f;
        const Vector3 point = rays[i].origin + rays[i].direction * hits[i].t + facing * lift;
        for (int k = 0; k < directions; ++k) {
            Vector3 d{next(), next(), next()};
            while (dot(d, d) > 1 || dot(d, d) < 1e-6f)
                d = {next(), next(), next()};
            if (dot(d, facing) < 0)
                d = d * -1.0f;
            // Of unit length, so that the segment's end is a fifth of the
            // model away whatever the direction drawn.
            occlusion.push_back({point, unit(d), 0.0f, 0.2f * size});
        }
    }
    std::vector<char> blocked(occlusion.size());
    const auto start = std::chrono::steady_clock::now();
    intersectAny(pool, scene, occlusion.data(), reinterpret_cast<bool*>(blocked.data()),
                 occlusion.size());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    const auto blockedCount = static_cast<size_t>(std::count(blocked.begin(), blocked.end(), 1));
    std::printf("%zu occlusion rays on %u threads: %.2f Mrays/s, %zu blocked\n", occlusion.size(),
                pool.threadCount(), occlusion.size() / took.count() / 1e6, blockedCount);

    std::vector<uint8_t> pixels(3 * rays.size(), 0);
    size_t ray = 0;
    for (size_t i = 0; i < hits.size(); ++i) {
        if (hits[i].primitive == noPrimitive)
            continue;
        int open = 0;
        for (int k = 0; k < directions; ++k)
            open += !blocked[ray++];
        std::fill_n(&pixels[3 * i], 3, static_cast<uint8_t>(30 + 225 * open / directions));
    }
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_file(&image, argv[2], 0, pixels.data(), 0, nullptr);
    if (!written)
        std::fprintf(stderr, "cannot write %s: %s\n", argv[2], image.message);
    releaseQueryScene(scene);
    releaseMesh(mesh);
    return written ? 0 : 1;
}
