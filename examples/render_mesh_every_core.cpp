// The kernel on every core: reads a mesh, places it where the demo's camera
// looks, builds its tree once and renders the demo's camera orbit around it
// on a pool of one thread per core. Every thread traces through a trace
// context of its own, so the frames are exactly the one-thread frames.
// Prints the speed and writes the last frame as a PNG.
//
// usage: render_mesh_every_core MESH OUT.png   (MESH: .tri, or what the importer reads)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include <png.h>
#include <vantrel/vantrel.h>

using namespace vantrel;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: render_mesh_every_core MESH OUT.png\n");
        return 2;
    }
    // Read as it is to find its box, then again centred on the origin with
    // its largest half-extent 11, as the demo's spheres are.
    Matrix4 place = {{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}};
    std::string reason;
    PrimitiveList* mesh = readMesh(argv[1], place, reason);
    if (!mesh || mesh->count == 0) {
        std::fprintf(stderr, "%s: no triangles read. %s\n", argv[1], reason.c_str());
        releaseMesh(mesh);
        return 1;
    }
    const Triangle* triangles = static_cast<const Triangle*>(mesh->items[0].object);
    Vector3 lo = triangles[0].V0, hi = lo;
    for (uint32_t i = 0; i < mesh->count; ++i) {
        for (const Vector3& v : {triangles[i].V0, triangles[i].V1, triangles[i].V2}) {
            lo = {std::min(lo.x, v.x), std::min(lo.y, v.y), std::min(lo.z, v.z)};
            hi = {std::max(hi.x, v.x), std::max(hi.y, v.y), std::max(hi.z, v.z)};
        }
    }
    releaseMesh(mesh);
    const float half = std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z}) / 2;
    const float scale = half > 0 ? 11 / half : 1;
    place = {{scale, 0, 0, 0, 0, scale, 0, 0, 0, 0, scale, 0, -scale * (lo.x + hi.x) / 2,
              -scale * (lo.y + hi.y) / 2, -scale * (lo.z + hi.z) / 2, 1}};
    mesh = readMesh(argv[1], place, reason);
    if (!mesh)
        return 1; // it changed since it was read

    KdTree* tree = nullptr;
    buildKdTree(&tree, mesh, 0);
    PrimitiveRef top = {tree, PrimitiveType::NestedTree};
    RenderTarget target = {512, 384, nullptr, new uint8_t[512 * 384 * 3]};
    buildRayTable(target, {1.0f, 1.3333334f, 1.0f}); // the demo's field of view

    // The threads start here, once; each frame hands its tiles out to them.
    WorkerPool pool; // one thread per core
    const int frames = 25;
    const auto start = std::chrono::steady_clock::now();
    for (int frame = 0; frame < frames; ++frame)
        renderFrame(pool, {&top, 1}, target, cameraMatrixAt(frame * 2500));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    // The frames add their rays to the tree's count once each.
    std::printf("%d frames of %u triangles on %u threads: %.1f Mrays/s\n", frames, mesh->count,
                pool.threadCount(), tree->rayCount / took.count() / 1e6);

    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    image.width = target.width;
    image.height = target.height;
    image.format = PNG_FORMAT_RGB;
    const bool written = png_image_write_to_file(&image, argv[2], 0, target.pixels, 0, nullptr);
    if (!written)
        std::fprintf(stderr, "cannot write %s: %s\n", argv[2], image.message);
    delete[] target.rays;
    delete[] target.pixels;
    releaseKdTree(tree);
    releaseMesh(mesh);
    return written ? 0 : 1;
}
