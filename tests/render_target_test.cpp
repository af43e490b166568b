#include <gtest/gtest.h>

#include <vector>

#include "vantrel/app/shell_state.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {
namespace {

constexpr uint8_t guard = 0xa5;

TEST(ClearTarget, SetsEveryPixelAndNothingBeyond) {
    std::vector<uint8_t> buffer(3 * 2 * 3 + 4, guard);
    RenderTarget target{3, 2, nullptr, buffer.data()};
    clearTarget(target, 10, 20, 30);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(buffer[3 * i + 0], 10) << "pixel " << i;
        EXPECT_EQ(buffer[3 * i + 1], 20) << "pixel " << i;
        EXPECT_EQ(buffer[3 * i + 2], 30) << "pixel " << i;
    }
    for (size_t i = 18; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], guard) << "byte " << i;
}

TEST(ClearTarget, AnEmptyTargetWritesNothing) {
    std::vector<uint8_t> buffer(12, guard);
    RenderTarget noColumns{0, 4, nullptr, buffer.data()};
    RenderTarget noRows{4, 0, nullptr, buffer.data()};
    clearTarget(noColumns, 1, 2, 3);
    clearTarget(noRows, 1, 2, 3);
    for (uint8_t byte : buffer)
        EXPECT_EQ(byte, guard);

    RenderTarget noBuffer{0, 0, nullptr, nullptr};
    clearTarget(noBuffer, 1, 2, 3); // must not touch the null buffer
}

TEST(ReleaseScene, FreesTheShellsArraysButKeepsTreeAndRays) {
    Ray rays[1];
    KdTree tree{};
    renderTarget = {1, 1, rays, new uint8_t[3]};
    sphereArray = new Sphere[2];
    topLevelList = {new PrimitiveRef[1]{{&tree, PrimitiveType::NestedTree}}, 1};
    compiledTree = &tree;

    releaseScene();
    EXPECT_EQ(sphereArray, nullptr);
    EXPECT_EQ(topLevelList.items, nullptr);
    EXPECT_EQ(topLevelList.count, 0u);
    EXPECT_EQ(renderTarget.pixels, nullptr);
    EXPECT_EQ(renderTarget.rays, rays);
    EXPECT_EQ(compiledTree, &tree);

    releaseScene(); // nothing left to free: harmless
    compiledTree = nullptr;
    renderTarget = {};
}

} // namespace
} // namespace vantrel
