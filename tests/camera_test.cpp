#include <gtest/gtest.h>

#include <cmath>

#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/camera.h"

namespace vantrel {
namespace {

constexpr float tolerance = 1e-4f;

void expectMatrixNear(const Matrix4& actual, const float (&expected)[16]) {
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual.m[i], expected[i], tolerance) << "element " << i;
}

float length(const Vector3& v) {
    return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}

TEST(CameraMatrix, AtClockZeroStandsBackSixtyLookingAlongZ) {
    const float expected[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -60, 1};
    expectMatrixNear(cameraMatrixAt(0), expected);
}

TEST(CameraMatrix, AtFiveSecondsMatchesTheOrbit) {
    const float expected[16] = {-0.75628f,  0.53715f,   0.37351f,   0,        0,        -0.57091f,
                                0.82102f,   0,          0.65425f,   0.62092f, 0.43176f, 0,
                                -24.56859f, -23.31694f, -16.21376f, 1};
    const Matrix4 camera = cameraMatrixAt(5000);
    expectMatrixNear(camera, expected);
    EXPECT_NEAR(length({camera.m[12], camera.m[13], camera.m[14]}), 37.55239f, tolerance);
}

// Whatever the clock, the axes are orthonormal and the camera sits on its
// own view axis behind the origin, between 26.34 and 93.66 away.
TEST(CameraMatrix, AlwaysFacesTheOriginFromTheOrbit) {
    for (int32_t ticks = 0; ticks < 200000; ticks += 7919) {
        const Matrix4 f = cameraMatrixAt(ticks);
        const Vector3 right = {f.m[0], f.m[1], f.m[2]};
        const Vector3 up = {f.m[4], f.m[5], f.m[6]};
        const Vector3 view = {f.m[8], f.m[9], f.m[10]};
        const Vector3 position = {f.m[12], f.m[13], f.m[14]};
        SCOPED_TRACE(ticks);
        EXPECT_NEAR(length(right), 1.0f, tolerance);
        EXPECT_NEAR(length(up), 1.0f, tolerance);
        EXPECT_NEAR(length(view), 1.0f, tolerance);
        EXPECT_NEAR(right.x * up.x + right.y * up.y + right.z * up.z, 0.0f, tolerance);
        EXPECT_NEAR(right.x * view.x + right.y * view.y + right.z * view.z, 0.0f, tolerance);
        const float distance = length(position);
        EXPECT_GE(distance, 26.34f);
        EXPECT_LE(distance, 93.66f);
        // position = d * view with d = -distance
        EXPECT_NEAR(position.x, -distance * view.x, 1e-3f);
        EXPECT_NEAR(position.y, -distance * view.y, 1e-3f);
        EXPECT_NEAR(position.z, -distance * view.z, 1e-3f);
        EXPECT_EQ(f.m[3], 0.0f);
        EXPECT_EQ(f.m[7], 0.0f);
        EXPECT_EQ(f.m[11], 0.0f);
        EXPECT_EQ(f.m[15], 1.0f);
    }
}

// A camera of one's own: orthonormal and right-handed (right x up = view)
// as the orbit's, at the eye, looking at the target, the image upright (its
// up on the world's up side), also looking straight down or up, where the
// world's up cannot serve; where the orbit starts, the orbit's camera.
TEST(CameraLookingAt, StandsAtTheEyeFacingTheTargetUpright) {
    const Vector3 cases[][2] = {{{0, 0, -60}, {0, 0, 0}},
                                {{3, -2, 5}, {-1, 4, 0.5f}},
                                {{1e4f, 2e4f, -3e4f}, {0, 0, 0}},
                                {{0, 10, 0}, {0, 0, 0}},
                                {{2, -7, 1}, {2, 5, 1}}};
    for (const auto& [eye, target] : cases) {
        const Matrix4 f = cameraLookingAt(eye, target);
        const Vector3 axes[3] = {
            {f.m[0], f.m[1], f.m[2]}, {f.m[4], f.m[5], f.m[6]}, {f.m[8], f.m[9], f.m[10]}};
        const Vector3 &right = axes[0], &up = axes[1], &view = axes[2];
        SCOPED_TRACE(testing::Message() << eye.x << "," << eye.y << "," << eye.z);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(dot(axes[i], axes[j]), i == j ? 1.0f : 0.0f, tolerance);
        EXPECT_NEAR(dot(cross(right, up), view), 1.0f, tolerance);
        EXPECT_NEAR(dot(view, target - eye), length(target - eye),
                    tolerance * length(target - eye));
        EXPECT_TRUE(std::fabs(view.y) >= 0.99f || up.y > 0.0f);
        const float placed[4] = {eye.x, eye.y, eye.z, 1.0f};
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(f.m[12 + k], placed[k]);
    }
    const float expected[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -60, 1};
    expectMatrixNear(cameraLookingAt({0, 0, -60}, {0, 0, 0}), expected);
}

// Whether a camera can aim from eye at target: from 1.1e-19 apart (a
// squared length the floats hold in full) to 1.8e19 apart, and there its
// matrix is orthonormal; not where target - eye, or its square, overflows,
// loses its digits or is not a number, where the matrix holds nonsense.
TEST(CameraLookingAt, AimsAcrossWhatFloatsCanScaleAndNoFurther) {
    const float nan = std::nanf("");
    struct Case {
        Vector3 eye;
        Vector3 target;
        bool aims;
    };
    const Case cases[] = {{{0, 0, -60}, {0, 0, 0}, true},
                          {{2e-19f, 0, 0}, {0, 0, 0}, true},
                          {{1e19f, 0, 0}, {-1e18f, 0, 0}, true},
                          {{5e18f, 5e18f, 5e18f}, {0, 0, 0}, true},
                          {{3e38f, 0, 0}, {-3e38f, 0, 0}, false},
                          {{1e38f, 1e38f, 1e38f}, {-1e38f, -1e38f, -1e38f}, false},
                          {{2e19f, 0, 0}, {0, 0, 0}, false},
                          {{1e-45f, 0, 0}, {0, 0, 0}, false},
                          {{1e-20f, 1e-20f, 0}, {0, 0, 0}, false},
                          {{nan, 0, 0}, {0, 0, 0}, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.eye.x << " to " << c.target.x);
        ASSERT_EQ(cameraCanLookAt(c.eye, c.target), c.aims);
        if (!c.aims)
            continue;
        const Matrix4 f = cameraLookingAt(c.eye, c.target);
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                EXPECT_NEAR(f.m[4 * i] * f.m[4 * j] + f.m[4 * i + 1] * f.m[4 * j + 1] +
                                f.m[4 * i + 2] * f.m[4 * j + 2],
                            i == j ? 1.0f : 0.0f, tolerance);
    }
    // Where the floats fail it, the matrix is not a camera.
    const Matrix4 overflowed = cameraLookingAt({3e38f, 0, 0}, {-3e38f, 0, 0});
    EXPECT_FALSE(std::isfinite(overflowed.m[8]) && std::fabs(overflowed.m[8]) > 0.5f);
}

struct RayTable : ::testing::Test {
    RenderTarget target{512, 384, nullptr, nullptr};
    void SetUp() override { buildRayTable(target, {1.0f, 1.3333334f, 1.0f}); }
    void TearDown() override { delete[] target.rays; }
    const Vector3& direction(uint32_t x, uint32_t y) const {
        return target.rays[y * target.width + x].direction;
    }
};

TEST_F(RayTable, TopLeftPointsUpAndLeft) {
    const float s = 1.0f / std::sqrt(0.6666667f * 0.6666667f + 0.25f + 1.0f);
    EXPECT_NEAR(direction(0, 0).x, -0.6666667f * s, 1e-6f);
    EXPECT_NEAR(direction(0, 0).y, 0.5f * s, 1e-6f);
    EXPECT_NEAR(direction(0, 0).z, s, 1e-6f);
}

TEST_F(RayTable, CentreLooksStraightAhead) {
    EXPECT_EQ(direction(256, 192).x, 0.0f);
    EXPECT_EQ(direction(256, 192).y, 0.0f);
    EXPECT_EQ(direction(256, 192).z, 1.0f);
}

TEST_F(RayTable, EveryRayStartsAtTheEyeWithUnitDirection) {
    for (uint32_t i = 0; i < target.width * target.height; ++i) {
        const Ray& ray = target.rays[i];
        ASSERT_EQ(ray.origin.x, 0.0f) << i;
        ASSERT_EQ(ray.origin.y, 0.0f) << i;
        ASSERT_EQ(ray.origin.z, 0.0f) << i;
        ASSERT_NEAR(length(ray.direction), 1.0f, 1e-6f) << i;
    }
}

// A small target with an uneven extent shows the row-major order and which
// extent component drives which axis.
TEST(RayTableLayout, RowMajorWithExtentPerAxis) {
    RenderTarget target{4, 2, nullptr, nullptr};
    buildRayTable(target, {2.0f, 4.0f, 1.0f});
    const Ray& ray = target.rays[1 * 4 + 3]; // column 3, row 1
    // u = (3/4 - 0.5) * 4 = 1, v = (0.5 - 1/2) * 1 = 0, w = 2
    const float s = 1.0f / std::sqrt(5.0f);
    EXPECT_NEAR(ray.direction.x, 1.0f * s, 1e-6f);
    EXPECT_NEAR(ray.direction.y, 0.0f, 1e-6f);
    EXPECT_NEAR(ray.direction.z, 2.0f * s, 1e-6f);
    delete[] target.rays;
}

} // namespace
} // namespace vantrel
