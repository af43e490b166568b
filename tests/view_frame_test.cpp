#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "tests/test_support.h"
#include "tools/common/mesh_placement.h"
#include "tools/view/view_bands.h"
#include "tools/view/view_camera.h"
#include "tools/view/view_frame.h"
#include "tools/view/view_screenshot.h"
#include "tools/view/view_surface.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/query.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

std::vector<uint8_t> readPng(const std::string& path, uint32_t& width, uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return {};
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr))
        return {};
    width = image.width;
    height = image.height;
    return rgb;
}

} // namespace

TEST(ViewScreenshot, GoesBesideTheModelNumberedAndReplacesNoFile) {
    char folderTemplate[] = "/tmp/view-shot-XXXXXX";
    const std::string folder = mkdtemp(folderTemplate);
    std::vector<uint8_t> pixels(7 * 5 * 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 37);
    const RenderTarget target{7, 5, nullptr, pixels.data()};
    const std::string model = folder + "/bunny.ply";
    Screenshot shot;
    std::string error;
    ASSERT_TRUE(writeViewScreenshot(model, "/nowhere", target, shot, error)) << error;
    EXPECT_EQ(shot.path, folder + "/bunny-view-1.png");
    EXPECT_FALSE(shot.fellBack);
    uint32_t width = 0, height = 0;
    EXPECT_EQ(readPng(shot.path, width, height), pixels);
    EXPECT_EQ(width, 7u);
    EXPECT_EQ(height, 5u);

    std::ofstream(folder + "/bunny-view-2.png") << "someone's";
    ASSERT_TRUE(writeViewScreenshot(model, "/nowhere", target, shot, error)) << error;
    EXPECT_EQ(shot.path, folder + "/bunny-view-3.png");
    EXPECT_EQ(std::filesystem::file_size(folder + "/bunny-view-2.png"), 9u);

    // A folder that takes no new files, even from root: the fallback, then
    // a refusal that leaves nothing behind.
    ASSERT_TRUE(writeViewScreenshot("/sys/statue.obj", folder, target, shot, error)) << error;
    EXPECT_EQ(shot.path, folder + "/statue-view-1.png");
    EXPECT_TRUE(shot.fellBack);
    EXPECT_FALSE(writeViewScreenshot("/sys/statue.obj", "/sys", target, shot, error));
    EXPECT_NE(error.find("/sys/statue-view-1.png': Permission denied"), std::string::npos) << error;
    std::filesystem::remove_all(folder);
}

// Through the renderer, which the projection of the camera's tests only
// models: the framed model lies wholly inside the image in any window shape
// and from any side, every pixel's ray is counted, and three threads render
// the one thread's frame.
TEST(ViewFrame, TheFramedModelIsWhollyInViewAndEveryRayCounted) {
    std::string why;
    Mesh mesh(loadToolMesh(VANTREL_SHIPPED_ICOSPHERE, false, why));
    ASSERT_TRUE(mesh) << why;
    KdTree* built = nullptr;
    buildKdTree(&built, mesh.get(), 0);
    Tree tree(built);
    PrimitiveRef entry = {tree.get(), PrimitiveType::NestedTree};
    BoundingBox box;
    ASSERT_TRUE(triangleBounds(*mesh, box));
    ViewRenderer renderer = startViewRenderer(3);
    ViewRenderer alone = startViewRenderer(1);
    ASSERT_EQ(renderer.threads, 3u);
    RenderTarget target{};
    for (const auto& size : {std::pair{512u, 384u}, std::pair{200u, 360u}, std::pair{640u, 97u}}) {
        sizeViewTarget(target, size.first, size.second);
        const uint32_t w = target.width, h = target.height;
        ViewCamera camera = framedView(modelFraming(*mesh, box), w, h);
        for (int turn = 0; turn < 4; ++turn, orbitView(camera, 150.0f, 70.0f)) {
            ASSERT_EQ(renderViewFrame(alone, {&entry, 1}, *tree, target, viewCameraMatrix(camera)),
                      w * h);
            const std::vector<uint8_t> oneThread(target.pixels, target.pixels + 3 * w * h);
            ASSERT_EQ(
                renderViewFrame(renderer, {&entry, 1}, *tree, target, viewCameraMatrix(camera)),
                w * h);
            ASSERT_TRUE(std::equal(oneThread.begin(), oneThread.end(), target.pixels));
            uint32_t lit = 0, litOnBorder = 0;
            for (uint32_t y = 0; y < h; ++y) {
                for (uint32_t x = 0; x < w; ++x) {
                    const uint8_t* p = target.pixels + 3 * (size_t{y} * w + x);
                    const bool on = (p[0] | p[1] | p[2]) != 0;
                    lit += on;
                    litOnBorder += on && (x == 0 || y == 0 || x == w - 1 || y == h - 1);
                }
            }
            EXPECT_EQ(litOnBorder, 0u) << w << "x" << h << " turn " << turn;
            // Seen, too: faces away from the light are dark, but not all.
            EXPECT_GT(lit, std::min(w, h) * std::min(w, h) / 10) << w << "x" << h;
        }
    }
    releaseViewTarget(target);
    stopViewRenderer(renderer);
    stopViewRenderer(alone);
}

// Through the queries' hierarchy, at the model's own coordinates (a unit
// sphere, which the renderer's test would refuse at a thousandth of that):
// wholly in view, lit all over from the camera, the same on three threads.
TEST(ViewFrame, AModelAtItsOwnScaleIsWhollyInViewAndLitFromTheCamera) {
    for (float scale : {1.0f, 0.001f}) {
        std::string why;
        Mesh mesh(loadToolMesh(VANTREL_SHIPPED_ICOSPHERE, true, why));
        ASSERT_TRUE(mesh) << why;
        for (uint32_t i = 0; i < mesh->count; ++i) {
            Triangle& t = *static_cast<Triangle*>(mesh->items[i].object);
            for (Vector3* v : {&t.V0, &t.V1, &t.V2})
                *v = *v * scale;
        }
        QueryScene scene;
        ASSERT_EQ(buildQueryScene(scene, *mesh, QueryBuildOptions{}), BuildResult::Built);
        BoundingBox box;
        ASSERT_TRUE(triangleBounds(*mesh, box));
        ViewRenderer renderer = startViewRenderer(3);
        ViewRenderer alone = startViewRenderer(1);
        RenderTarget target{};
        sizeViewTarget(target, 320, 200);
        ViewCamera camera = framedView(modelFraming(*mesh, box), 320, 200);
        for (int turn = 0; turn < 3; ++turn, orbitView(camera, 150.0f, 70.0f)) {
            ASSERT_EQ(renderViewFrame(alone, scene, target, viewCameraMatrix(camera)), 320u * 200);
            const std::vector<uint8_t> oneThread(target.pixels, target.pixels + 3 * 320 * 200);
            renderViewFrame(renderer, scene, target, viewCameraMatrix(camera));
            ASSERT_TRUE(std::equal(oneThread.begin(), oneThread.end(), target.pixels));
            uint32_t lit = 0, litOnBorder = 0, dim = 0;
            for (uint32_t y = 0; y < 200; ++y)
                for (uint32_t x = 0; x < 320; ++x) {
                    const uint8_t* p = target.pixels + 3 * (size_t{y} * 320 + x);
                    lit += p[0] != 0;
                    litOnBorder += p[0] != 0 && (x == 0 || y == 0 || x == 319 || y == 199);
                    dim += p[0] != 0 && p[0] < 40;
                }
            EXPECT_EQ(litOnBorder, 0u) << "scale " << scale << ", turn " << turn;
            // Most of the short side across, and no face of it in the dark.
            EXPECT_GT(lit, 200u * 200 / 2);
            EXPECT_EQ(dim, 0u);
        }
        releaseViewTarget(target);
        stopViewRenderer(renderer);
        stopViewRenderer(alone);
        releaseQueryScene(scene);
    }
}

// A window of any size is traced at most at mostTracedPixels, its shape
// kept, and shown scaled to fill it; a large frame traced in bands has the
// one frame's pixels and rays, unless a quit, an Escape or a resize waits,
// which stops it between two bands and stays queued.
TEST(ViewFrame, HugeWindowsAreTracedCappedInBandsThatEventsCutShort) {
    for (const auto& [w, h] : {std::pair{512u, 384u}, std::pair{8000u, 8000u},
                               std::pair{32767u, 20u}, std::pair{1u, 100000u}}) {
        uint32_t tw, th;
        tracedSizeFor(w, h, tw, th);
        EXPECT_LE(uint64_t{tw} * th, mostTracedPixels) << w << "x" << h;
        EXPECT_GE(tw, 1u);
        EXPECT_GE(th, 1u);
        if (uint64_t{w} * h <= mostTracedPixels)
            EXPECT_TRUE(tw == w && th == h);
        else
            EXPECT_NEAR(double(tw) / th, double(w) / h, double(w) / h * 0.01 + 1.0 / th);
    }

    setenv("SDL_VIDEODRIVER", "dummy", 1);
    ASSERT_GE(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    // Through the hierarchy, as the viewer renders by default.
    std::string why;
    Mesh mesh(loadToolMesh(VANTREL_SHIPPED_ICOSPHERE, true, why));
    ASSERT_TRUE(mesh) << why;
    QueryScene scene;
    ASSERT_EQ(buildQueryScene(scene, *mesh, QueryBuildOptions{}), BuildResult::Built);
    BoundingBox box;
    ASSERT_TRUE(triangleBounds(*mesh, box));
    ViewRenderer renderer = startViewRenderer(2);
    RenderTarget target{};
    sizeViewTarget(target, 1800, 1300); // past mostPixelsAtOnce, in ragged bands
    ASSERT_GT(uint64_t{target.width} * target.height, mostPixelsAtOnce);
    const Matrix4 camera = viewCameraMatrix(framedView(modelFraming(*mesh, box), 1800, 1300));
    const auto render = [&](RenderTarget& band) {
        return renderViewFrame(renderer, scene, band, camera);
    };
    const uint32_t wholeRays = render(target);
    const std::vector<uint8_t> whole(target.pixels, target.pixels + 3 * 1800 * 1300);
    std::fill(target.pixels, target.pixels + whole.size(), 7);
    uint32_t rays = 0;
    ASSERT_TRUE(renderViewFrameBetweenEvents(render, target, rays));
    EXPECT_EQ(rays, wholeRays);
    EXPECT_TRUE(std::equal(whole.begin(), whole.end(), target.pixels));
    for (const SDLKey key : {SDLK_ESCAPE, SDLK_a}) {
        SDL_Event event{};
        event.type = SDL_KEYDOWN;
        event.key.keysym.sym = key;
        ASSERT_EQ(SDL_PushEvent(&event), 0);
        std::fill(target.pixels, target.pixels + whole.size(), 7);
        const bool done =
            renderViewFrameBetweenEvents(render, target, rays);
        EXPECT_EQ(done, key != SDLK_ESCAPE);
        EXPECT_EQ(target.pixels[whole.size() - 1] == 7, key == SDLK_ESCAPE);
        SDL_Event queued;
        ASSERT_EQ(SDL_PollEvent(&queued), 1); // left for the frame loop
        EXPECT_EQ(queued.key.keysym.sym, key);
    }

    // Shown at three times its size: each window pixel from the traced one
    // it falls in.
    SDL_Surface* surface =
        SDL_CreateRGBSurface(SDL_SWSURFACE, 300, 150, 32, 0xff0000, 0xff00, 0xff, 0);
    ASSERT_NE(surface, nullptr);
    RenderTarget small{100, 50, nullptr, new uint8_t[100 * 50 * 3]};
    for (uint32_t i = 0; i < 100 * 50 * 3; ++i)
        small.pixels[i] = static_cast<uint8_t>(i * 7 + i / 300);
    presentFrame(small, surface);
    for (uint32_t y : {0u, 1u, 77u, 149u})
        for (uint32_t x : {0u, 2u, 3u, 299u}) {
            const uint8_t* p = small.pixels + 3 * ((y / 3) * 100 + x / 3);
            const uint32_t word = reinterpret_cast<const uint32_t*>(
                static_cast<const uint8_t*>(surface->pixels) + y * surface->pitch)[x];
            EXPECT_EQ(word, uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]) << x << "," << y;
        }
    delete[] small.pixels;
    SDL_FreeSurface(surface);
    releaseViewTarget(target);
    stopViewRenderer(renderer);
    releaseQueryScene(scene);
    SDL_Quit();
}
