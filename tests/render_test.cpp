#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/tracer/render.h"
#include "vantrel/tracer/scratch_pool.h"

namespace vantrel {
namespace {

using namespace testing_support;

constexpr uint8_t unwritten = 0xA5;
constexpr size_t guardBytes = 64;

// A render target over owned storage, with guard bytes after the pixels and
// every byte set to a value the renderer never produces for these scenes.
struct TestTarget {
    std::vector<Ray> rays;
    std::vector<uint8_t> storage;
    RenderTarget target{};

    TestTarget(uint32_t width, uint32_t height)
        : rays(size_t{width} * height, Ray{{0, 0, 0}, {0, 0, 1}}),
          storage(size_t{width} * height * 3 + guardBytes, unwritten) {
        target = {width, height, rays.data(), storage.data()};
    }

    Vector3& direction(uint32_t x, uint32_t y) {
        return rays[size_t{y} * target.width + x].direction;
    }
    const uint8_t* pixel(uint32_t x, uint32_t y) const {
        return storage.data() + 3 * (size_t{y} * target.width + x);
    }
    bool guardsIntact() const {
        for (size_t i = storage.size() - guardBytes; i < storage.size(); ++i) {
            if (storage[i] != unwritten) {
                return false;
            }
        }
        return true;
    }
};

TEST(PixelConversion, DirectionComponentsKeepOffZero) {
    EXPECT_EQ(keepOffZero(0.0f), 0.001f);
    EXPECT_EQ(keepOffZero(-0.0f), 0.001f);
    EXPECT_EQ(keepOffZero(0.0005f), 0.001f);
    EXPECT_EQ(keepOffZero(0.00099999f), 0.001f);
    EXPECT_EQ(keepOffZero(-0.0005f), -0.001f);
    EXPECT_EQ(keepOffZero(-1e-30f), -0.001f);
    EXPECT_EQ(keepOffZero(-0.002f), -0.002f);
    EXPECT_EQ(keepOffZero(0.001f), 0.001f);
    EXPECT_EQ(keepOffZero(-0.001f), -0.001f);
    EXPECT_EQ(keepOffZero(0.7f), 0.7f);
}

TEST(PixelConversion, ChannelsClampScaleAndTruncate) {
    EXPECT_EQ(channelToByte(-0.1f), 0);
    EXPECT_EQ(channelToByte(0.0f), 0);
    EXPECT_EQ(channelToByte(0.5f), 127);
    EXPECT_EQ(channelToByte(0.999f), 254);
    EXPECT_EQ(channelToByte(1.0f), 255);
    EXPECT_EQ(channelToByte(1.7f), 255);
    EXPECT_EQ(channelToByte(std::numeric_limits<float>::infinity()), 255);
    EXPECT_EQ(channelToByte(-std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(channelToByte(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST(RenderTile, PrimaryDirectionsAreKeptOffZeroBeforeTracing) {
    // Two triangles that leave a gap of 0.008 around the z axis: a ray along
    // exactly +z would miss both. A clamped ray drifts to +-0.005 at z = 5.
    Triangle positive{{0.004f, 0.004f, 5}, {10, 0.004f, 5}, {0.004f, 10, 5}, {1, 0, 0, 0}};
    Triangle negative{{-0.004f, -0.004f, 5}, {-10, -0.004f, 5}, {-0.004f, -10, 5}, {0, 1, 0, 0}};
    std::vector<PrimitiveRef> refs{{&positive, PrimitiveType::Triangle},
                                   {&negative, PrimitiveType::Triangle}};
    TestTarget t(3, 1);
    t.direction(0, 0) = {0, 0, 1};
    t.direction(1, 0) = {-0.0f, -0.0f, 1};
    t.direction(2, 0) = {-0.0005f, -0.0005f, 1};
    renderFrame(listOf(refs), t.target, identityMatrix());

    const uint8_t lit = 178; // normal along z: ambient 0.7 only
    EXPECT_EQ(t.pixel(0, 0)[0], lit);
    EXPECT_EQ(t.pixel(1, 0)[0], lit) << "negative zero goes to +0.001";
    EXPECT_EQ(t.pixel(2, 0)[0], 0);
    EXPECT_EQ(t.pixel(2, 0)[1], lit);
}

// One small triangle per pixel, straight ahead of that pixel's ray; its colour
// makes the pixel's bytes read back as (x, y, 7). A leading tree entry that
// finds nothing counts the primary rays.
struct PixelIdScene {
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    KdTreeNode root = leafNode(0, true);
    KdTree tree{{-1001, -1001, -1001}, {-1000, -1000, -1000}, &root, nullptr, 0, 0, 0};

    explicit PixelIdScene(TestTarget& t) {
        const uint32_t w = t.target.width;
        const uint32_t h = t.target.height;
        triangles.reserve(size_t{w} * h);
        refs.push_back({&tree, PrimitiveType::NestedTree});
        // Ambient 0.7 times this gives the byte plus a half: truncation is safe.
        const auto level = [](uint32_t v) { return (static_cast<float>(v) + 0.5f) / 178.5f; };
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const float fx = static_cast<float>(x);
                const float fy = static_cast<float>(y);
                triangles.push_back({{fx - 0.2f, fy - 0.2f, 5},
                                     {fx + 0.4f, fy - 0.2f, 5},
                                     {fx - 0.2f, fy + 0.4f, 5},
                                     {level(x), level(y), level(7), 0}});
                const float len = std::sqrt(fx * fx + fy * fy + 25.0f);
                t.direction(x, y) = {fx / len, fy / len, 5 / len};
            }
        }
        for (Triangle& tri : triangles) {
            refs.push_back({&tri, PrimitiveType::Triangle});
        }
    }
    PrimitiveList list() { return listOf(refs); }
};

TEST(RenderFrame, WritesEveryPixelOnceForAnyImageSize) {
    const uint32_t sizes[][2] = {{64, 32}, {50, 37}, {33, 70}, {1, 1}, {17, 5}};
    for (const auto& size : sizes) {
        const uint32_t w = size[0];
        const uint32_t h = size[1];
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        TestTarget t(w, h);
        PixelIdScene scene(t);
        renderFrame(scene.list(), t.target, identityMatrix());

        // One primary ray per pixel, and every pixel holds its own colour:
        // nothing skipped, so nothing can have been traced twice.
        EXPECT_EQ(scene.tree.rayCount, w * h);
        int wrong = 0;
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) {
                const uint8_t* p = t.pixel(x, y);
                if (p[0] != x || p[1] != y || p[2] != 7) {
                    if (++wrong < 5) {
                        ADD_FAILURE() << "pixel " << x << "," << y << " is " << int{p[0]} << ","
                                      << int{p[1]} << "," << int{p[2]};
                    }
                }
            }
        }
        EXPECT_EQ(wrong, 0);
        EXPECT_TRUE(t.guardsIntact());
    }
}

TEST(RenderFrame, LeavesTheScratchFillMarkAsItFoundIt) {
    TestTarget t(40, 20);
    PixelIdScene scene(t);
    scratchUsed = 1234;
    renderFrame(scene.list(), t.target, identityMatrix());
    EXPECT_EQ(scratchUsed, 1234u);
    scratchUsed = 0;
}

TEST(RenderTile, WritesOnlyItsRegion) {
    TestTarget t(50, 37);
    PixelIdScene scene(t);
    const auto written = [&t](uint32_t x, uint32_t y) { return t.pixel(x, y)[2] == 7; };
    const auto countWritten = [&] {
        int n = 0;
        for (uint32_t y = 0; y < 37; ++y) {
            for (uint32_t x = 0; x < 50; ++x) {
                n += written(x, y) ? 1 : 0;
            }
        }
        return n;
    };

    // Empty regions write nothing.
    renderTile(scene.list(), t.target, identityMatrix(), 5, 3, 5, 10, 32);
    renderTile(scene.list(), t.target, identityMatrix(), 10, 4, 3, 9, 8);
    renderTile(scene.list(), t.target, identityMatrix(), 0, 9, 20, 9, 16);
    EXPECT_EQ(countWritten(), 0);

    // Traced directly: exactly the region.
    renderTile(scene.list(), t.target, identityMatrix(), 3, 2, 40, 9, 8);
    EXPECT_EQ(countWritten(), 37 * 7);
    EXPECT_TRUE(written(3, 2) && written(39, 8));
    EXPECT_FALSE(written(2, 2) || written(40, 8) || written(39, 9));

    // Subdivided: tiles run to their own edge or the image border, not to
    // the caller's region; a region past the image is clipped.
    TestTarget u(50, 37);
    PixelIdScene other(u);
    renderTile(other.list(), u.target, identityMatrix(), 40, 30, 45, 1000, 32);
    for (uint32_t y = 0; y < 37; ++y) {
        for (uint32_t x = 0; x < 50; ++x) {
            EXPECT_EQ(u.pixel(x, y)[2] == 7, x >= 40 && y >= 30) << x << "," << y;
        }
    }
    EXPECT_TRUE(u.guardsIntact());
}

// Expected bytes of one pixel from the geometry alone, in double: the ray
// meets a sphere from outside and is lit by the normal at the hit point.
struct ExpectedPixel {
    bool hit;
    bool borderline; // too close to the silhouette to call in float
    double colour[3];
};

ExpectedPixel expectSphere(const double origin[3], const double dir[3], const double centre[3],
                           double radius, const double material[3]) {
    double oc[3];
    double b = 0;
    double ococ = 0;
    for (int k = 0; k < 3; ++k) {
        oc[k] = origin[k] - centre[k];
        b -= oc[k] * dir[k];
        ococ += oc[k] * oc[k];
    }
    const double disc = b * b - ococ + radius * radius;
    ExpectedPixel e{false, std::abs(disc) < 1e-3, {0, 0, 0}};
    if (disc <= 0) {
        return e;
    }
    const double t = b - std::sqrt(disc);
    double n[3];
    for (int k = 0; k < 3; ++k) {
        n[k] = (origin[k] + t * dir[k] - centre[k]) / radius;
    }
    const double light = 0.707 * n[0] + 0.7 - 0.707 * n[1];
    e.hit = true;
    for (int k = 0; k < 3; ++k) {
        e.colour[k] = std::min(255.0, std::max(0.0, light * material[k] * 255.0));
    }
    return e;
}

TEST(RenderFrame, SphereSeenThroughATurnedAndMovedCamera) {
    // The camera stands at (10, 1, -2) and is turned a quarter round y, so
    // that its local +z looks along world +x. Columns of the matrix are the
    // images of the local axes; elements 12 to 14 the position.
    Matrix4 camera{};
    camera.m[2] = -1; // local x -> world -z
    camera.m[5] = 1;  // local y -> world y
    camera.m[8] = 1;  // local z -> world x
    camera.m[12] = 10;
    camera.m[13] = 1;
    camera.m[14] = -2;
    camera.m[15] = 1;
    const double origin[3] = {10, 1, -2};
    const double centre[3] = {16, 1.5, -2};
    const double radius = 2;
    const double material[3] = {0.9, 0.6, 0.3};
    Sphere sphere{{16, 1.5f, -2}, 2, {0.9f, 0.6f, 0.3f, 0}};
    std::vector<PrimitiveRef> refs{{&sphere, PrimitiveType::Sphere}};

    const uint32_t w = 24;
    const uint32_t h = 18;
    TestTarget t(w, h);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const double lx = (x + 0.5 - w / 2.0) * 0.04;
            const double ly = (y + 0.5 - h / 2.0) * 0.04;
            const double len = std::sqrt(lx * lx + ly * ly + 1);
            t.direction(x, y) = {static_cast<float>(lx / len), static_cast<float>(ly / len),
                                 static_cast<float>(1 / len)};
        }
    }
    // A junk origin in the table must not be used.
    t.rays[0].origin = {100, 100, 100};
    renderFrame(listOf(refs), t.target, camera);

    int hits = 0;
    int misses = 0;
    int saturated = 0;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const Vector3& l = t.direction(x, y);
            const double dir[3] = {l.z, l.y, -static_cast<double>(l.x)};
            const ExpectedPixel e = expectSphere(origin, dir, centre, radius, material);
            const uint8_t* p = t.pixel(x, y);
            SCOPED_TRACE(testing::Message() << "pixel " << x << "," << y);
            if (e.borderline) {
                continue;
            }
            if (e.hit) {
                ++hits;
                saturated += e.colour[0] >= 255.0 ? 1 : 0;
                for (int k = 0; k < 3; ++k) {
                    EXPECT_NEAR(p[k], e.colour[k], 1.0) << "channel " << k;
                }
            } else {
                ++misses;
                EXPECT_EQ(p[0] + p[1] + p[2], 0);
            }
        }
    }
    // The sphere fills the middle of the view and leaves the corners empty;
    // its lower rim faces the light brighter than a channel can hold.
    EXPECT_GT(hits, 50);
    EXPECT_GT(misses, 50);
    EXPECT_GT(saturated, 0);
    EXPECT_TRUE(t.guardsIntact());
}

} // namespace
} // namespace vantrel
