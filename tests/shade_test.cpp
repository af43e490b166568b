#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/tracer/intersect.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/shade.h"

namespace vantrel {
namespace {

using namespace testing_support;

void setColour(float r, float g, float b) {
    accumulatedColour[0] = r;
    accumulatedColour[1] = g;
    accumulatedColour[2] = b;
}

// A large triangle in the plane z = z0 whose face normal is +z or -z.
Triangle facing(float z0, bool up, Material material) {
    const Vector3 a{-50, -50, z0};
    const Vector3 b{100, -50, z0};
    const Vector3 c{-50, 100, z0};
    return up ? Triangle{a, b, c, material} : Triangle{a, c, b, material};
}

TEST(Shade, NormalAlongViewGivesAmbientOnly) {
    Triangle t = facing(5, true, {1, 0.5f, 0, 0});
    std::vector<PrimitiveRef> refs{ref(t)};
    const PrimitiveList list = listOf(refs);

    setColour(0, 0, 0);
    shade(list, list, 0, {{0, 0, 10}, {0, 0, -1}}, 1.0f);
    EXPECT_FLOAT_EQ(accumulatedColour[0], 0.7f);
    EXPECT_FLOAT_EQ(accumulatedColour[1], 0.35f);
    EXPECT_EQ(accumulatedColour[2], 0.0f);

    // Adds on top of what is there, scaled by the weight.
    setColour(0.25f, 0.25f, 0.25f);
    shade(list, list, 0, {{0, 0, 10}, {0, 0, -1}}, 0.5f);
    EXPECT_FLOAT_EQ(accumulatedColour[0], 0.25f + 0.35f);
    EXPECT_FLOAT_EQ(accumulatedColour[1], 0.25f + 0.175f);
    EXPECT_FLOAT_EQ(accumulatedColour[2], 0.25f);
}

TEST(Shade, FacingTheLightSaturatesFacingAwayGoesNegative) {
    // Plane x - y = 4 crossed by a ray along x; vertex order sets the normal
    // to (1, -1, 0) / sqrt 2, towards the light.
    const Vector3 v0{-6, -10, -10};
    const Vector3 v1{34, 30, -10};
    const Vector3 v2{-6, -10, 30};
    Triangle toward{v0, v1, v2, {1, 0.5f, 0.25f, 0}};
    Triangle away{v0, v2, v1, {1, 0.5f, 0.25f, 0}};
    const Ray ray{{0, 0, 0}, {1, 0, 0}};
    const double half = std::sqrt(0.5);

    std::vector<PrimitiveRef> refs{ref(toward)};
    setColour(0, 0, 0);
    shade(listOf(refs), listOf(refs), 0, ray, 1.0f);
    EXPECT_NEAR(hitRecord.normal.x, half, 1e-6);
    EXPECT_NEAR(accumulatedColour[0], 0.7 + 2 * 0.707 * half, 1e-5); // about 1.6998
    EXPECT_NEAR(accumulatedColour[2], (0.7 + 2 * 0.707 * half) * 0.25, 1e-5);
    EXPECT_EQ(channelToByte(accumulatedColour[0]), 255);
    EXPECT_EQ(channelToByte(accumulatedColour[1]), 216); // 0.8499 * 255

    refs[0] = ref(away);
    setColour(0, 0, 0);
    shade(listOf(refs), listOf(refs), 0, ray, 1.0f);
    EXPECT_NEAR(accumulatedColour[0], 0.7 - 2 * 0.707 * half, 1e-5); // about -0.2998
    EXPECT_LT(accumulatedColour[2], 0.0f);
    EXPECT_EQ(channelToByte(accumulatedColour[0]), 0);
    EXPECT_EQ(channelToByte(accumulatedColour[2]), 0);
}

TEST(Shade, LightTermIsEvaluatedInDoubleAndStoredAsFloat) {
    // Hits across a sphere give many normals; for some of them a float-only
    // evaluation rounds differently, and the frame must not depend on that.
    Sphere s{{0, 0, 10}, 4, {1, 1, 1, 0}};
    std::vector<PrimitiveRef> refs{ref(s)};
    const PrimitiveList list = listOf(refs);
    int floatWouldDiffer = 0;
    for (int i = 0; i < 200; ++i) {
        const float a = -0.25f + 0.0025f * static_cast<float>(i);
        const float b = 0.2f - 0.002f * static_cast<float>(i);
        const float len = std::sqrt(a * a + b * b + 1.0f);
        setColour(0, 0, 0);
        shade(list, list, 0, {{0, 0, 0}, {a / len, b / len, 1 / len}}, 1.0f);
        const Vector3 n = hitRecord.normal;
        const float expected = static_cast<float>(0.707 * n.x + 0.7 - 0.707 * n.y);
        ASSERT_EQ(accumulatedColour[0], expected) << "ray " << i;
        if (0.707f * n.x + 0.7f - 0.707f * n.y != expected) {
            ++floatWouldDiffer;
        }
    }
    EXPECT_GT(floatWouldDiffer, 0) << "the sample must tell the two evaluations apart";
}

TEST(Shade, MissAddsNothingAtAnyDepth) {
    Triangle t = facing(5, true, {1, 1, 1, 0});
    std::vector<PrimitiveRef> refs{ref(t)};
    for (int depth : {0, 1, 3}) {
        setColour(0.1f, -0.2f, 0.3f);
        shade(listOf(refs), listOf(refs), depth, {{0, 0, 0}, {0, 0, -1}}, 1.0f);
        EXPECT_EQ(accumulatedColour[0], 0.1f);
        EXPECT_EQ(accumulatedColour[1], -0.2f);
        EXPECT_EQ(accumulatedColour[2], 0.3f);
    }
}

TEST(Shade, ReflectionStartsAtHitPointAndUsesReflectListAtHalfWeight) {
    // Mirror z = 5 facing the origin. The ray (0.6, 0, 0.8) meets it at
    // (3.75, 0, 5) and leaves along (0.6, 0, -0.8) straight at the centre of a
    // sphere at (7.5, 0, 0), which it meets with normal (-0.6, 0, 0.8).
    Triangle mirror = facing(5, false, {1, 0, 0, 0});
    Sphere target{{7.5f, 0, 0}, 0.5f, {0, 1, 0, 0}};
    // On the primary path: found only if the primary ray searched reflectList.
    Sphere bait{{1.5f, 0, 2}, 0.25f, {0, 0, 1, 0}};
    std::vector<PrimitiveRef> primary{ref(mirror)};
    std::vector<PrimitiveRef> reflect{ref(mirror), ref(bait), ref(target)};
    const Ray ray{{0, 0, 0}, {0.6f, 0, 0.8f}};
    const double sphereLight = 0.707 * -0.6 + 0.7;

    setColour(0, 0, 0);
    shade(listOf(reflect), listOf(primary), 1, ray, 1.0f);
    EXPECT_FLOAT_EQ(accumulatedColour[0], 0.7f);
    EXPECT_NEAR(accumulatedColour[1], 0.5 * sphereLight, 1e-5);
    EXPECT_EQ(accumulatedColour[2], 0.0f);

    setColour(0, 0, 0);
    shade(listOf(reflect), listOf(primary), 0, ray, 1.0f);
    EXPECT_FLOAT_EQ(accumulatedColour[0], 0.7f);
    EXPECT_EQ(accumulatedColour[1], 0.0f) << "depth 0 follows no reflection";
}

TEST(Shade, ReflectionsHalveEachBounceAndNegativeDepthActsAsZero) {
    // Two facing mirrors: the ray along z bounces between them until the
    // depth runs out, each bounce at half the previous weight.
    Triangle ahead = facing(5, false, {1, 0, 0, 0});
    Triangle behind = facing(-5, true, {0, 1, 0, 0});
    std::vector<PrimitiveRef> refs{ref(ahead), ref(behind)};
    const PrimitiveList list = listOf(refs);
    const Ray ray{{0, 0, 0}, {0, 0, 1}};

    setColour(0, 0, 0);
    shade(list, list, 1, ray, 1.0f);
    EXPECT_FLOAT_EQ(accumulatedColour[0], 0.7f);
    EXPECT_FLOAT_EQ(accumulatedColour[1], 0.35f);
    EXPECT_FLOAT_EQ(hitRecord.distance, 10) << "reflected from (0, 0, 5) along -z";

    setColour(0, 0, 0);
    shade(list, list, 3, ray, 1.0f);
    EXPECT_FLOAT_EQ(accumulatedColour[0], 0.7f + 0.175f);
    EXPECT_FLOAT_EQ(accumulatedColour[1], 0.35f + 0.0875f);

    for (int depth : {-1, -1000}) {
        setColour(0, 0, 0);
        shade(list, list, depth, ray, 1.0f);
        EXPECT_FLOAT_EQ(accumulatedColour[0], 0.7f);
        EXPECT_EQ(accumulatedColour[1], 0.0f);
    }
}

} // namespace
} // namespace vantrel
