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

// Where the renderer puts p with this camera, in pixels of a width x height
// window (x right, y down), and how far in front of the eye.
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

} // namespace

// Every vertex is on screen, whatever the window's shape and the model's
// size, and however the model is turned.
TEST(ViewCamera, FramingKeepsEveryVertexInViewFromEveryAngle) {
    std::mt19937 random(27);
    const uint32_t sizes[][2] = {{512, 384}, {300, 700}, {1000, 90}, {1, 1}};
    for (int model = 0; model < 12; ++model) {
        const float scale = std::pow(10.0f, randomFloat(random, -3.0f, 3.0f));
        const Vector3 lo = Vector3{randomFloat(random, -5, 5), randomFloat(random, -5, 5),
                                   randomFloat(random, -5, 5)} *
                           scale;
        // Long, flat and lopsided.
        std::vector<Triangle> triangles(50);
        for (Triangle& t : triangles)
            for (Vector3* v : {&t.V0, &t.V1, &t.V2})
                *v = lo + Vector3{randomFloat(random, 0, 8), randomFloat(random, 0, 1),
                                  randomFloat(random, 0, 3)} *
                              scale;
        std::vector<Sphere> none;
        std::vector<PrimitiveRef> refs;
        referenceAll(none, triangles, refs);
        BoundingBox box;
        ASSERT_TRUE(triangleBounds(listOf(refs), box));
        const ViewFraming framing = modelFraming(listOf(refs), box);
        for (const auto& size : sizes) {
            ViewCamera camera = framedView(framing, size[0], size[1]);
            for (int turn = 0; turn < 6; ++turn) {
                for (const Triangle& t : triangles) {
                    for (const Vector3* v : {&t.V0, &t.V1, &t.V2}) {
                        const Pixel p = project(camera, *v, size[0], size[1]);
                        ASSERT_TRUE(p.depth > 0 && p.x >= 0 && p.x <= size[0] && p.y >= 0 &&
                                    p.y <= size[1])
                            << "model " << model << " window " << size[0] << "x" << size[1]
                            << " turn " << turn << ": vertex at " << p.x << "," << p.y;
                    }
                }
                orbitView(camera, randomFloat(random, -400, 400), randomFloat(random, -400, 400));
            }
        }
    }
}

TEST(ViewCamera, MatrixIsARightHandedRotationFacingTheCentre) {
    ViewCamera camera = framedView({{1, -2, 3}, 5}, 512, 384);
    for (int turn = 0; turn < 20; ++turn, orbitView(camera, 37.0f, -23.0f)) {
        const Matrix4 m = viewCameraMatrix(camera);
        const Vector3 right = {m.m[0], m.m[1], m.m[2]}, up = {m.m[4], m.m[5], m.m[6]},
                      forward = {m.m[8], m.m[9], m.m[10]};
        // Unit axes at right angles; (right, up, backward) right-handed, so
        // that a model is not mirrored; never upside down.
        const Vector3 backward = cross(right, up);
        EXPECT_NEAR(dot(backward, forward), -1.0f, 2e-6f);
        EXPECT_NEAR(dot(up, forward), 0.0f, 1e-6f);
        EXPECT_NEAR(dot(up, up), 1.0f, 1e-6f);
        EXPECT_GT(up.y, 0.0f);
        const Pixel centre = project(camera, camera.centre, 512, 384);
        EXPECT_NEAR(centre.x, 256.0, 1e-3);
        EXPECT_NEAR(centre.y, 192.0, 1e-3);
        EXPECT_NEAR(centre.depth, camera.distance, 1e-4 * camera.distance);
    }
}

// The model follows the pointer: the front of its sphere in an orbit, the
// centre's depth in a pan.
TEST(ViewCamera, DragsMoveTheModelWithThePointerAndBack) {
    const ViewCamera start = framedView({{1, -2, 3}, 5}, 512, 384);
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

    for (uint32_t height : {384u, 97u}) {
        const Vector3 before = camera.centre;
        panView(camera, 31.0f, -17.0f, height);
        const Pixel p = project(camera, before, 512, height);
        EXPECT_NEAR(p.x, 256.0 + 31.0, 2e-3);
        EXPECT_NEAR(p.y, height / 2.0 - 17.0, 2e-3);
    }

    // Over the top and round many times: pitch stops, yaw stays an angle.
    for (int i = 0; i < 1000; ++i)
        orbitView(camera, 997.0f, 500.0f);
    EXPECT_EQ(camera.pitch, viewMaxPitch);
    EXPECT_TRUE(camera.yaw >= 0.0f && camera.yaw < 6.3f) << camera.yaw;
}

TEST(ViewCamera, ZoomAndMovesStayWithinTheModelsScale) {
    ViewCamera camera = framedView({{1, -2, 3}, 5}, 512, 384);
    const float start = camera.distance;
    zoomView(camera, 0.5f);
    for (float refused : {0.0f, -2.0f, NAN, INFINITY})
        zoomView(camera, refused);
    EXPECT_FLOAT_EQ(camera.distance, start * 0.5f);
    zoomView(camera, 1e-9f);
    EXPECT_FLOAT_EQ(camera.distance, camera.radius * 0.01f);
    zoomView(camera, 1e9f);
    EXPECT_FLOAT_EQ(camera.distance, camera.radius * 100.0f);

    // Half a second forward and left: half a radius each way, turned alike.
    const Matrix4 before = viewCameraMatrix(camera);
    moveView(camera, 1.0f, -1.0f, 0.5f);
    const Matrix4 after = viewCameraMatrix(camera);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(after.m[12 + k],
                    before.m[12 + k] + 0.5f * camera.radius * (before.m[8 + k] - before.m[k]),
                    1e-4f);
        EXPECT_EQ(after.m[k], before.m[k]);
        EXPECT_EQ(after.m[8 + k], before.m[8 + k]);
    }
    // The default window keeps the demo's field of view.
    EXPECT_EQ(viewExtentFor(512, 384).y, 1.3333334f);
}
