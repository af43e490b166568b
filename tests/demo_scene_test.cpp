#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vantrel/app/demo_scene.h"
#include "vantrel/app/random.h"
#include "vantrel/app/shell_state.h"

namespace vantrel {
namespace {

void expectWithinRanges(const Sphere& sphere, uint32_t i) {
    SCOPED_TRACE(i);
    for (float c : {sphere.centre.x, sphere.centre.y, sphere.centre.z}) {
        ASSERT_GE(c, -11.0f);
        ASSERT_LE(c, 11.0f);
    }
    ASSERT_GE(sphere.radius, 0.125f);
    ASSERT_LE(sphere.radius, 0.625f);
    for (float c : {sphere.material.red, sphere.material.green, sphere.material.blue}) {
        ASSERT_GE(c, 0.0f);
        ASSERT_LE(c, 1.0f);
    }
}

// The generator as its definition states it, written out independently and
// advanced past whatever earlier tests in this process have drawn.
struct ReferenceGenerator {
    uint32_t state = 1;
    explicit ReferenceGenerator(uint64_t alreadyDrawn) {
        for (uint64_t i = 0; i < alreadyDrawn; ++i)
            next();
    }
    int32_t next() {
        state = state * 1103515245u + 12345u;
        return static_cast<int32_t>((state / 65536) % 32768);
    }
};

TEST(Random, FollowsTheStandardExampleGeneratorFromSeedOne) {
    // From a fresh state the sequence starts like this.
    ReferenceGenerator fresh(0);
    for (int32_t value : {16838, 5758, 10113, 17515, 31051})
        EXPECT_EQ(fresh.next(), value);

    ReferenceGenerator reference(randomDrawCount());
    const uint64_t before = randomDrawCount();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(nextRandom(), reference.next()) << i;
    EXPECT_EQ(randomUnit(), static_cast<float>(reference.next()) / 32767.0f);
    EXPECT_EQ(randomDrawCount() - before, 1001u);
}

TEST(FillDemoSpheres, DrawsTenValuesPerSphereInOrder) {
    ReferenceGenerator reference(randomDrawCount());
    float r[10];
    for (float& value : r)
        value = static_cast<float>(reference.next()) / 32767.0f;
    const uint64_t before = randomDrawCount();
    std::vector<Sphere> spheres(1000);
    std::vector<PrimitiveRef> refs(1000);
    fillDemoSpheres(spheres.data(), refs.data(), 1000);
    EXPECT_EQ(randomDrawCount() - before, 10000u);

    const Sphere& first = spheres[0];
    EXPECT_EQ(first.centre.x, static_cast<float>((r[0] * 20 - 10) + (r[3] * 20 - 10) * 0.1));
    EXPECT_EQ(first.centre.y, static_cast<float>((r[1] * 20 - 10) + (r[4] * 20 - 10) * 0.1));
    EXPECT_EQ(first.centre.z, static_cast<float>((r[2] * 20 - 10) + (r[5] * 20 - 10) * 0.1));
    EXPECT_EQ(first.radius, (r[6] + 0.25f) * 0.5f);
    EXPECT_EQ(first.material.red, r[7]);
    EXPECT_EQ(first.material.green, r[8]);
    EXPECT_EQ(first.material.blue, r[9]);

    for (uint32_t i = 0; i < 1000; ++i) {
        expectWithinRanges(spheres[i], i);
        ASSERT_EQ(refs[i].object, &spheres[i]) << i;
        ASSERT_EQ(refs[i].type, PrimitiveType::Sphere) << i;
    }
}

std::vector<std::string> captions;
void recordCaption(const char* text) {
    captions.emplace_back(text);
}

TEST(BuildDemoScene, SetsUpTargetSpheresTreeAndTopLevelList) {
    const uint64_t drawsBefore = randomDrawCount();
    buildDemoScene(recordCaption);
    EXPECT_EQ(randomDrawCount() - drawsBefore, 2500000u);

    EXPECT_EQ(renderTarget.width, 512u);
    EXPECT_EQ(renderTarget.height, 384u);
    ASSERT_NE(renderTarget.pixels, nullptr);
    ASSERT_NE(renderTarget.rays, nullptr);
    EXPECT_EQ(renderTarget.rays[256 + 192 * 512].direction.z, 1.0f);

    EXPECT_EQ(captions, (std::vector<std::string>{"compiling kd tree...", "done! cleaning up..."}));

    ASSERT_NE(compiledTree, nullptr);
    ASSERT_EQ(topLevelList.count, 1u);
    EXPECT_EQ(topLevelList.items[0].type, PrimitiveType::NestedTree);
    EXPECT_EQ(topLevelList.items[0].object, compiledTree);

    ASSERT_NE(sphereArray, nullptr);
    for (uint32_t i = 0; i < demoSphereCount; ++i)
        expectWithinRanges(sphereArray[i], i);

    releaseScene();
}

} // namespace
} // namespace vantrel
