#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_support.h"
#include "tools/view/view_camera.h"
#include "vantrel/scene/vector_ops.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

struct Pixel {
    double x, y, depth;
};

// Where the camera's renderer puts p, in pixels of a width x height window
// (x right, y down), and how far in front of the eye it lies.
Pixel project(const ViewCamera& camera, const Vector3& p, uint32_t width, uint32_t height) {
    const Matrix4 m = viewCameraMatrix(camera);
    const double d[3] = {p.x - m.m[12], p.y - m.m[13], p.z - m.m[14]};
    double local[3];
    for (int axis = 0; axis < 3; ++axis)
        local[axis] = d[0] * m.m[4 * axis] + d[1] * m.m[4 * axis + 1] + d[2] * m.m[4 * axis + 2];
    const Vector3 extent = viewExtentFor(width, height);
    return {(local[0] / local[2] / extent.y + 0.5) * width,
            (0.5 - local[1] / local[2] / extent.z) * height, local[2]};
}

ViewCamera someView() {
    return framedView({{1.0f, -2.0f, 3.0f}, 5.0f}, 512, 384);
}

} // namespace

// Every vertex of the model is on screen, whatever the window's shape and
// however the model is turned.
TEST(ViewCamera, FramingKeepsEveryVertexInViewFromEveryAngle) {
    std::mt19937 random(27);
    const uint32_t sizes[][2] = {{512, 384}, {300, 700}, {1000, 90}, {1, 1}};
    for (int model = 0; model < 12; ++model) {
        // Long, flat and lopsided boxes of any size and place.
        const float scale = std::pow(10.0f, randomFloat(random, -3.0f, 3.0f));
        const Vector3 lo = {randomFloat(random, -5, 5) * scale, randomFloat(random, -5, 5) * scale,
                            randomFloat(random, -5, 5) * scale};
        std::vector<Triangle> triangles(50);
        for (Triangle& t : triangles) {
            for (Vector3* v : {&t.V0, &t.V1, &t.V2})
                *v = {lo.x + randomFloat(random, 0, 8) * scale,
                      lo.y + randomFloat(random, 0, 1) * scale,
                      lo.z + randomFloat(random, 0, 3) * scale};
            t.material = {1, 1, 1, 0};
        }
        std::vector<Sphere> none;
        std::vector<PrimitiveRef> refs;
        referenceAll(none, triangles, refs);
        const PrimitiveList mesh = listOf(refs);
        BoundingBox box;
        ASSERT_TRUE(triangleBounds(mesh, box));
        const ViewFraming framing = modelFraming(mesh, box);
        for (const auto& size : sizes) {
            ViewCamera camera = framedView(framing, size[0], size[1]);
            for (int turn = 0; turn < 6; ++turn) {
                for (const Triangle& t : triangles) {
                    for (const Vector3* v : {&t.V0, &t.V1, &t.V2}) {
                        const Pixel p = project(camera, *v, size[0], size[1]);
                        ASSERT_GT(p.depth, 0.0);
                        ASSERT_TRUE(p.x >= 0 && p.x <= size[0] && p.y >= 0 && p.y <= size[1])
                            << "model " << model << " window " << size[0] << "x" << size[1]
                            << " turn " << turn << ": vertex at " << p.x << "," << p.y;
                    }
                }
                orbitView(camera, randomFloat(random, -400, 400), randomFloat(random, -400, 400));
            }
        }
    }
}

TEST(ViewCamera, MatrixIsARightHandedRotationAroundTheEye) {
    ViewCamera camera = someView();
    for (int turn = 0; turn < 20; ++turn, orbitView(camera, 37.0f, -23.0f)) {
        const Matrix4 m = viewCameraMatrix(camera);
        const Vector3 right = {m.m[0], m.m[1], m.m[2]}, up = {m.m[4], m.m[5], m.m[6]},
                      forward = {m.m[8], m.m[9], m.m[10]};
        EXPECT_NEAR(dot(right, right), 1.0f, 1e-6f);
        EXPECT_NEAR(dot(up, up), 1.0f, 1e-6f);
        EXPECT_NEAR(dot(forward, forward), 1.0f, 1e-6f);
        EXPECT_NEAR(dot(right, up), 0.0f, 1e-6f);
        EXPECT_NEAR(dot(up, forward), 0.0f, 1e-6f);
        // (right, up, backward) right-handed: a model is not mirrored.
        const Vector3 backward = cross(right, up);
        EXPECT_NEAR(dot(backward, forward), -1.0f, 1e-6f);
        EXPECT_GT(up.y, 0.0f); // never upside down
        const Pixel centre = project(camera, camera.centre, 512, 384);
        EXPECT_NEAR(centre.x, 256.0, 1e-3);
        EXPECT_NEAR(centre.y, 192.0, 1e-3);
        EXPECT_NEAR(centre.depth, camera.distance, 1e-4 * camera.distance);
    }
}

TEST(ViewCamera, OrbitTurnsTheModelWithTheDragAndBack) {
    const ViewCamera start = someView();
    // The point of the model's sphere nearest the eye follows the pointer.
    const Matrix4 m = viewCameraMatrix(start);
    const Vector3 front = start.centre - Vector3{m.m[8], m.m[9], m.m[10]} * start.radius;
    ViewCamera camera = start;
    orbitView(camera, 10.0f, 0.0f);
    EXPECT_GT(project(camera, front, 512, 384).x, 256.5);
    camera = start;
    orbitView(camera, 0.0f, 10.0f);
    EXPECT_GT(project(camera, front, 512, 384).y, 192.5);

    orbitView(camera, 123.0f, 45.0f);
    orbitView(camera, -123.0f, -55.0f);
    EXPECT_NEAR(camera.yaw, start.yaw, 1e-5f);
    EXPECT_NEAR(camera.pitch, start.pitch, 1e-5f);
    EXPECT_EQ(camera.distance, start.distance);

    // Over the top and round many times: pitch stops, yaw stays a small angle.
    for (int i = 0; i < 1000; ++i)
        orbitView(camera, 997.0f, 500.0f);
    EXPECT_EQ(camera.pitch, viewMaxPitch);
    EXPECT_TRUE(camera.yaw >= 0.0f && camera.yaw < 6.3f) << camera.yaw;
}

TEST(ViewCamera, PanKeepsThePointUnderThePointer) {
    for (uint32_t height : {384u, 97u}) {
        ViewCamera camera = someView();
        orbitView(camera, 50.0f, 30.0f);
        const Vector3 before = camera.centre;
        panView(camera, 31.0f, -17.0f, height);
        const Pixel p = project(camera, before, 512, height);
        EXPECT_NEAR(p.x, 256.0 + 31.0, 2e-3);
        EXPECT_NEAR(p.y, height / 2.0 - 17.0, 2e-3);
    }
}

TEST(ViewCamera, ZoomAndMovesStayWithinTheModelsScale) {
    ViewCamera camera = someView();
    const float start = camera.distance;
    zoomView(camera, 0.5f);
    EXPECT_FLOAT_EQ(camera.distance, start * 0.5f);
    for (float refused : {0.0f, -2.0f, NAN, INFINITY})
        zoomView(camera, refused);
    EXPECT_FLOAT_EQ(camera.distance, start * 0.5f);
    zoomView(camera, 1e-9f);
    EXPECT_FLOAT_EQ(camera.distance, camera.radius * 0.01f);
    zoomView(camera, 1e9f);
    EXPECT_FLOAT_EQ(camera.distance, camera.radius * 100.0f);

    // A second forward: eye and centre one radius along the view, turned alike.
    const Matrix4 before = viewCameraMatrix(camera);
    moveView(camera, 1.0f, -1.0f, 0.5f);
    const Matrix4 after = viewCameraMatrix(camera);
    for (int k = 0; k < 3; ++k) {
        const float expected =
            before.m[12 + k] + 0.5f * camera.radius * (before.m[8 + k] - before.m[k]);
        EXPECT_NEAR(after.m[12 + k], expected, 1e-4f);
        EXPECT_EQ(after.m[k], before.m[k]);
        EXPECT_EQ(after.m[8 + k], before.m[8 + k]);
    }
}

TEST(ViewCamera, TheDefaultWindowHasTheDemosFieldOfView) {
    const Vector3 extent = viewExtentFor(512, 384);
    EXPECT_EQ(extent.x, 1.0f);
    EXPECT_EQ(extent.y, 1.3333334f);
    EXPECT_EQ(extent.z, 1.0f);
}
