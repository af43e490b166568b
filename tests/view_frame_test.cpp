#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <png.h>

#include "tests/test_support.h"
#include "tools/bench/mesh_placement.h"
#include "tools/view/view_camera.h"
#include "tools/view/view_caption.h"
#include "tools/view/view_frame.h"
#include "tools/view/view_screenshot.h"
#include "vantrel/kdtree/build.h"

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

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
    EXPECT_EQ(contentOf(folder + "/bunny-view-2.png"), "someone's");

    // A folder that takes no new files, even from root: the fallback, then
    // a refusal that leaves nothing behind.
    ASSERT_TRUE(writeViewScreenshot("/sys/statue.obj", folder, target, shot, error)) << error;
    EXPECT_EQ(shot.path, folder + "/statue-view-1.png");
    EXPECT_TRUE(shot.fellBack);
    EXPECT_FALSE(writeViewScreenshot("/sys/statue.obj", "/sys", target, shot, error));
    EXPECT_NE(error.find("/sys/statue-view-1.png': Permission denied"), std::string::npos) << error;
    std::system(("rm -r " + folder).c_str());
}

// Through the renderer: the framed model lies wholly inside the image, from
// any side and in any window shape, and every pixel's ray is counted.
TEST(ViewFrame, TheFramedModelIsWhollyInViewAndEveryRayCounted) {
    std::string why;
    Mesh mesh(loadBenchMesh(VANTREL_SHIPPED_ICOSPHERE, false, why));
    ASSERT_TRUE(mesh) << why;
    KdTree* built = nullptr;
    buildKdTree(&built, mesh.get(), 0);
    Tree tree(built);
    PrimitiveRef entry = {tree.get(), PrimitiveType::NestedTree};
    const PrimitiveList scene = {&entry, 1};
    BoundingBox box;
    ASSERT_TRUE(triangleBounds(*mesh, box));
    const ViewFraming framing = modelFraming(*mesh, box);

    ViewRenderer renderer = startViewRenderer(0);
    RenderTarget target{};
    for (const auto& size : {std::pair{512u, 384u}, std::pair{200u, 360u}, std::pair{640u, 97u}}) {
        sizeViewTarget(target, size.first, size.second);
        const uint32_t w = target.width, h = target.height;
        ViewCamera camera = framedView(framing, w, h);
        for (int turn = 0; turn < 4; ++turn, orbitView(camera, 150.0f, 70.0f)) {
            EXPECT_EQ(renderViewFrame(renderer, scene, *tree, target, viewCameraMatrix(camera)),
                      w * h);
            auto lit = [&](uint32_t x, uint32_t y) {
                const uint8_t* p = target.pixels + 3 * (size_t{y} * w + x);
                return p[0] | p[1] | p[2];
            };
            int litOnBorder = 0;
            for (uint32_t x = 0; x < w; ++x)
                litOnBorder += (lit(x, 0) != 0) + (lit(x, h - 1) != 0);
            for (uint32_t y = 0; y < h; ++y)
                litOnBorder += (lit(0, y) != 0) + (lit(w - 1, y) != 0);
            EXPECT_EQ(litOnBorder, 0) << w << "x" << h << " turn " << turn;
            // And it is seen: faces away from the light are dark, not all.
            uint32_t litPixels = 0;
            for (uint32_t i = 0; i < w * h; ++i)
                litPixels += lit(i % w, i / w) != 0;
            EXPECT_GT(litPixels, std::min(w, h) * std::min(w, h) / 10)
                << w << "x" << h << " turn " << turn;
        }
    }
    releaseViewTarget(target);
    stopViewRenderer(renderer);
}

TEST(ViewCaption, FiguresCoverWindowsOfMoreThanASecond) {
    FrameMeter meter;
    startFrameMeter(meter, 10.0);
    FrameFigures figures{};
    EXPECT_FALSE(meterFrame(meter, 1000000, 10.5, figures));
    EXPECT_FALSE(meterFrame(meter, 1000000, 11.0, figures));
    ASSERT_TRUE(meterFrame(meter, 500000, 11.25, figures));
    EXPECT_DOUBLE_EQ(figures.framesPerSecond, 3 / 1.25);
    EXPECT_DOUBLE_EQ(figures.megaRaysPerSecond, 2.5 / 1.25);
    EXPECT_EQ(figuresCaption("a.ply", figures, 1, 320),
              "a.ply - 2.4fps/2.00Mrays/s, 1 thread, 320 triangles");
    EXPECT_FALSE(meterFrame(meter, 0, 12.25, figures));
    ASSERT_TRUE(meterFrame(meter, 0, 12.5, figures));
    EXPECT_DOUBLE_EQ(figures.framesPerSecond, 2 / 1.25);
    EXPECT_EQ(figuresCaption("a.ply", {61.4, 12.345}, 2, 7),
              "a.ply - 61fps/12.35Mrays/s, 2 threads, 7 triangles");
}
