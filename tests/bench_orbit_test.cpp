#include <cmath>

#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "tools/common/mesh_placement.h"
#include "tools/common/orbit.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {} // namespace

TEST(Orbit, TriangleBoundsCoverEveryVertexAndSkipOtherEntries) {
    Triangle triangles[2] = {{{1, 2, 3}, {-4, 5, 0}, {0, 0, 9}, {1, 1, 1, 0}},
                             {{2, -7, 1}, {3, 3, 3}, {0, 8, -1}, {1, 1, 1, 0}}};
    Sphere farAway = {{100, 100, 100}, 1, {1, 1, 1, 0}};
    PrimitiveRef refs[3] = {{&farAway, PrimitiveType::Sphere},
                            {&triangles[0], PrimitiveType::Triangle},
                            {&triangles[1], PrimitiveType::Triangle}};
    const PrimitiveList list = {refs, 3};
    BoundingBox box{};
    ASSERT_TRUE(triangleBounds(list, box));
    EXPECT_EQ(box.min.x, -4);
    EXPECT_EQ(box.min.y, -7);
    EXPECT_EQ(box.min.z, -1);
    EXPECT_EQ(box.max.x, 3);
    EXPECT_EQ(box.max.y, 8);
    EXPECT_EQ(box.max.z, 9);

    const PrimitiveList spheresOnly = {refs, 1};
    EXPECT_FALSE(triangleBounds(spheresOnly, box));

    // Triangles the build leaves out (a coordinate beyond float range, or
    // NaN) would move the camera to infinity.
    Triangle unusable[2] = {{{1, 2, 3}, {INFINITY, 5, 0}, {0, 0, 9}, {1, 1, 1, 0}},
                            {{NAN, 0, 0}, {-1e30f, 3, 3}, {0, 8, -1}, {1, 1, 1, 0}}};
    PrimitiveRef mixed[3] = {{&unusable[0], PrimitiveType::Triangle},
                             {&triangles[0], PrimitiveType::Triangle},
                             {&unusable[1], PrimitiveType::Triangle}};
    ASSERT_TRUE(triangleBounds({mixed, 3}, box));
    EXPECT_EQ(box.min.x, -4);
    EXPECT_EQ(box.max.z, 9);
    // Nor does a triangle no ray can hit: a point far off, a line.
    Triangle flat[2] = {{{1e30f, 1e30f, 1e30f}, {1e30f, 1e30f, 1e30f}, {1e30f, 1e30f, 1e30f}, {}},
                        {{-50, 0, 0}, {-40, 1, 1}, {-30, 2, 2}, {}}};
    PrimitiveRef withFlat[3] = {{&flat[0], PrimitiveType::Triangle},
                                {&triangles[1], PrimitiveType::Triangle},
                                {&flat[1], PrimitiveType::Triangle}};
    ASSERT_TRUE(triangleBounds({withFlat, 3}, box));
    EXPECT_EQ(box.min.x, 0);
    EXPECT_EQ(box.max.x, 3);
    EXPECT_FALSE(triangleBounds({withFlat, 1}, box));
    EXPECT_TRUE(triangleCanBeHit({{0, 0, 0}, {1e-44f, 0, 0}, {0, 1e-44f, 0}, {}}));
    mixed[1] = mixed[0];
    EXPECT_FALSE(triangleBounds({mixed, 3}, box));
    const PrimitiveList none = {refs, 0};
    EXPECT_FALSE(triangleBounds(none, box));
}

TEST(Orbit, FramingScalesTheDistanceAndCentresOnTheBox) {
    // A turned camera 60 units back along its view axis, as the orbit makes it.
    const float c = std::cos(0.7f), s = std::sin(0.7f);
    Matrix4 orbit{};
    orbit.m[0] = c;
    orbit.m[2] = -s;
    orbit.m[5] = 1;
    orbit.m[8] = s;
    orbit.m[10] = c;
    orbit.m[15] = 1;
    orbit.m[12] = -60 * s;
    orbit.m[14] = -60 * c;

    // Largest half-extent 2.2 (on y): a fifth of the demo's 11.
    const BoundingBox box = {{4, -2.2f, 0}, {6, 2.2f, 1}};
    const Matrix4 framed = frameBox(orbit, box);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(framed.m[i], orbit.m[i]) << "orientation element " << i;
    EXPECT_EQ(framed.m[15], 1.0f);

    const float toCentre[3] = {5 - framed.m[12], 0 - framed.m[13], 0.5f - framed.m[14]};
    const float distance = std::sqrt(toCentre[0] * toCentre[0] + toCentre[1] * toCentre[1] +
                                     toCentre[2] * toCentre[2]);
    EXPECT_NEAR(distance, 12.0f, 1e-4f);
    // Still looking straight at the centre.
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(toCentre[k] / distance, orbit.m[8 + k], 1e-5f) << "axis " << k;
}

TEST(Orbit, FramingAPointMeshKeepsTheDemoDistance) {
    const Matrix4 orbit = translation(0, 0, -30);
    const BoundingBox point = {{1, 2, 3}, {1, 2, 3}};
    const Matrix4 framed = frameBox(orbit, point);
    EXPECT_FLOAT_EQ(framed.m[12], 1);
    EXPECT_FLOAT_EQ(framed.m[13], 2);
    EXPECT_FLOAT_EQ(framed.m[14], 3 - 30);
}

TEST(Orbit, APlacedMeshIsCentredWithTheFieldsHalfExtent) {
    // Half-extents 0.02, 0.01 and 0.005 around (1, -2, 0.5): a model in metres.
    const BoundingBox box{{0.98f, -2.01f, 0.495f}, {1.02f, -1.99f, 0.505f}};
    const Matrix4 m = placementFor(box);
    const auto placed = [&](const Vector3& p) {
        return Vector3{m.m[0] * p.x + m.m[12], m.m[5] * p.y + m.m[13], m.m[10] * p.z + m.m[14]};
    };
    EXPECT_EQ(m.m[1], 0.0f);
    EXPECT_EQ(m.m[4], 0.0f);
    EXPECT_NEAR(placed(box.min).x, -demoHalfExtent, 1e-4f);
    EXPECT_NEAR(placed(box.max).x, demoHalfExtent, 1e-4f);
    EXPECT_NEAR(placed(box.min).y, -demoHalfExtent / 2, 1e-4f);
    EXPECT_NEAR(placed(box.max).z, demoHalfExtent / 4, 1e-4f);
    // A point is only moved; the widest box of floats still comes into the field.
    const Matrix4 point = placementFor({{3, 4, 5}, {3, 4, 5}});
    EXPECT_EQ(point.m[0], 1.0f);
    EXPECT_EQ(point.m[12], -3.0f);
    const Matrix4 huge = placementFor({{-3e38f, 0, 0}, {3e38f, 0, 0}});
    EXPECT_NEAR(huge.m[0] * 3e38f, demoHalfExtent, 1e-4f);
    EXPECT_EQ(huge.m[12], 0.0f);
    EXPECT_EQ(placementFailure(box) + placementFailure({{3, 4, 5}, {3, 4, 5}}) +
                  placementFailure({{-3e38f, 0, 0}, {3e38f, 0, 0}}),
              "");
    // So small that its scale passes float range: placed, it would be NaN.
    EXPECT_NE(placementFailure({{0, 0, 0}, {1e-44f, 1e-44f, 0}}).find("float range"),
              std::string::npos);
    EXPECT_NE(placementFailure({{1e30f, 0, 0}, {1e30f, 1e-30f, 0}}), "");
}
