// A loaded mesh compiled into a kd-tree must give the hits of a plain scan of
// its triangles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>

#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/triangle_loader.h"
#include "vantrel/scene/vector_ops.h"
#include "vantrel/tracer/intersect.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

// The shipped unit sphere scaled by 2 and moved to (1, -2, 3).
const Vector3 centre = {1, -2, 3};
const Matrix4 placement = {{2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 1, -2, 3, 1}};

struct Hit {
    bool found;
    HitRecord record;
};

Hit trace(const PrimitiveList& list, const Ray& ray) {
    const bool found = intersectList(list, ray) != 0;
    return {found, hitRecord};
}

// Deterministic numbers in [-1, 1).
struct Sequence {
    uint32_t state = 12345u;
    float next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
    }
};

// Unit length, every component at least 0.001 away from zero as the renderer
// makes them.
Vector3 direction(Vector3 d) {
    d = d * (1.0f / std::sqrt(dot(d, d)));
    for (float* c : {&d.x, &d.y, &d.z})
        if (std::fabs(*c) < 0.001f)
            *c = *c < 0 ? -0.001f : 0.001f;
    return d;
}

} // namespace

TEST(LoadedMeshTrace, TreeGivesTheHitsOfAPlainScan) {
    const Mesh mesh(loadTriangleFile(VANTREL_SHIPPED_ICOSPHERE, placement));
    ASSERT_NE(mesh, nullptr);
    ASSERT_EQ(mesh->count, 320u);

    for (const int32_t method : {0, 1, 2}) {
        SCOPED_TRACE(method);
        KdTree* built = nullptr;
        buildKdTree(&built, mesh.get(), method);
        const Tree tree(built);
        ASSERT_NE(tree, nullptr);
        PrimitiveRef nested = {tree.get(), PrimitiveType::NestedTree};
        const PrimitiveList scene = {&nested, 1};

        Sequence random;
        int hits = 0;
        int insideHits = 0;
        for (int i = 0; i < 3000; ++i) {
            // From outside towards a point near the sphere, or from inside.
            const Vector3 from =
                i % 3 == 0
                    ? centre + Vector3{random.next(), random.next(), random.next()} * 0.5f
                    : centre + direction({random.next(), random.next(), random.next()}) * 6.0f;
            const Vector3 towards =
                centre + Vector3{random.next(), random.next(), random.next()} * 3.0f;
            const Ray ray = {from, direction(towards - from)};

            const Hit scanned = trace(*mesh, ray);
            const Hit walked = trace(scene, ray);
            ASSERT_EQ(walked.found, scanned.found) << "ray " << i;
            if (!scanned.found)
                continue;
            ++hits;
            EXPECT_EQ(walked.record.distance, scanned.record.distance) << "ray " << i;
            EXPECT_NEAR(walked.record.normal.x, scanned.record.normal.x, 1e-6f) << "ray " << i;
            EXPECT_NEAR(walked.record.normal.y, scanned.record.normal.y, 1e-6f) << "ray " << i;
            EXPECT_NEAR(walked.record.normal.z, scanned.record.normal.z, 1e-6f) << "ray " << i;
            EXPECT_EQ(walked.record.material.red, 1.0f);
            if (i % 3 == 0) {
                ++insideHits;
                EXPECT_LE(scanned.record.distance, 2.9f) << "ray " << i;
            }
        }
        // Every ray from inside hits, and so do many of the others.
        EXPECT_EQ(insideHits, 1000);
        EXPECT_GT(hits, 1500);
    }
}
