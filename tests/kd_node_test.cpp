#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "tests/test_support.h"
#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/child_step.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/scene/vector_ops.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

Sphere sphere(float x, float y, float z, float r) {
    return {{x, y, z}, r, {}};
}

std::vector<void*> objects(const CKdNode& node) {
    std::vector<void*> out;
    for (const PrimitiveRef& r : node.primitives)
        out.push_back(r.object);
    return out;
}

// Counts live instances so destruction order and completeness can be observed.
struct CountedNode : CKdNode {
    static int live;
    static std::vector<int>* order;
    static std::vector<size_t>* parentEntries; // the parent's list size as each node goes
    int id;
    const CKdNode* parent;
    CountedNode(BuildContext& context, int nodeId, const CKdNode* parentNode)
        : CKdNode(context), id(nodeId), parent(parentNode) {
        ++live;
    }
    // Of another size than a build's nodes: from the general heap.
    static void* operator new(std::size_t size) { return ::operator new(size); }
    static void operator delete(void* node) { ::operator delete(node); }
    ~CountedNode() override {
        --live;
        if (order)
            order->push_back(id);
        if (parentEntries && parent)
            parentEntries->push_back(parent->primitives.size());
    }
};
int CountedNode::live = 0;
std::vector<size_t>* CountedNode::parentEntries = nullptr;
std::vector<int>* CountedNode::order = nullptr;

} // namespace

TEST(ComputeBounds, EmptyAndUnknownEntriesLeaveTheInvertedBox) {
    BuildContext build;
    CKdNode node(build);
    computeBounds(node);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(node.boundsMin[k], 3.40282347e38f);
        EXPECT_EQ(node.boundsMax[k], -3.40282347e38f);
    }
    Sphere s = sphere(5, 5, 5, 1);
    node.primitives.push_front({&s, PrimitiveType::NestedTree});
    node.primitives.push_front({&s, static_cast<PrimitiveType>(7)});
    computeBounds(node);
    EXPECT_EQ(node.boundsMin[0], 3.40282347e38f);
    EXPECT_EQ(node.boundsMax[2], -3.40282347e38f);
}

TEST(ComputeBounds, SpheresAndTrianglesTogether) {
    BuildContext build;
    CKdNode node(build);
    Sphere s = sphere(0, 0, 0, 1);
    Triangle t{{2, -3, 0.5f}, {-4, 0, 0}, {0, 7, -0.25f}, {}};
    node.primitives.push_front(ref(s));
    computeBounds(node);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(node.boundsMin[k], -1.0f);
        EXPECT_EQ(node.boundsMax[k], 1.0f);
    }
    node.primitives.push_front(ref(t));
    computeBounds(node);
    EXPECT_EQ(node.boundsMin[0], -4.0f);
    EXPECT_EQ(node.boundsMin[1], -3.0f);
    EXPECT_EQ(node.boundsMin[2], -1.0f);
    EXPECT_EQ(node.boundsMax[0], 2.0f);
    EXPECT_EQ(node.boundsMax[1], 7.0f);
    EXPECT_EQ(node.boundsMax[2], 1.0f);
}

TEST(SphereTouchesBox, DistanceAgainstRadius) {
    const float lo[3] = {0, 0, 0};
    const float hi[3] = {1, 1, 1};
    EXPECT_TRUE(sphereTouchesBox(sphere(0.5f, 0.5f, 0.5f, 0.01f), lo, hi)); // centre inside
    EXPECT_TRUE(sphereTouchesBox(sphere(0.5f, 0.5f, 0.5f, 0.0f), lo, hi));
    EXPECT_TRUE(sphereTouchesBox(sphere(3, 0.5f, 0.5f, 2), lo, hi)); // face at radius
    EXPECT_FALSE(sphereTouchesBox(sphere(3, 0.5f, 0.5f, 1.99f), lo, hi));
    EXPECT_TRUE(sphereTouchesBox(sphere(-3, 0.5f, 0.5f, 3), lo, hi)); // lower face too
    // Corner: distance 5 from (1, 1, 1) to (4, 5, 1).
    EXPECT_TRUE(sphereTouchesBox(sphere(4, 5, 1, 5), lo, hi));
    EXPECT_FALSE(sphereTouchesBox(sphere(4, 5, 1, 4.99f), lo, hi));
    EXPECT_FALSE(sphereTouchesBox(sphere(-3, -4, 0.5f, 4.99f), lo, hi));
}

// The one-lane gap and each lane of the four-lane one, bit for bit against
// the definition, on values where selects go wrong: NaN, infinities, signed
// zeros, and neighbours of the slab's faces.
TEST(SphereTouchesBox, GapFollowsItsDefinitionInEveryLane) {
    const auto definition = [](float c, float lo, float hi) {
        const float e = lo > c ? c - lo : (c > hi ? c - hi : 0.0f);
        return e * e;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float odd[] = {nan, inf, -inf, 0.0f, -0.0f, -1.5f, 2.0f, 3e38f};
    std::mt19937 random(5);
    const auto pick = [&](int n) { return static_cast<int>(random() % n); };
    for (int round = 0; round < 20000; ++round) {
        float c[4];
        float lo[4];
        float hi[4];
        for (int lane = 0; lane < 4; ++lane) {
            lo[lane] = pick(4) ? -1.0f : odd[pick(8)];
            hi[lane] = pick(4) ? 1.0f : odd[pick(8)];
            const float face = pick(2) ? lo[lane] : hi[lane];
            const float near[] = {odd[pick(8)], face, std::nextafter(face, inf),
                                  std::nextafter(face, -inf), 0.25f};
            c[lane] = near[pick(5)];
        }
#if defined(__SSE2__)
        float lanes[4];
        _mm_storeu_ps(lanes, gapSquared4(_mm_loadu_ps(c), _mm_loadu_ps(lo), _mm_loadu_ps(hi)));
#endif
        for (int lane = 0; lane < 4; ++lane) {
            const uint32_t want = floatBits(definition(c[lane], lo[lane], hi[lane]));
            ASSERT_EQ(floatBits(sphereGapSquared(c[lane], lo[lane], hi[lane])), want) << round;
#if defined(__SSE2__)
            ASSERT_EQ(floatBits(lanes[lane]), want) << round << " lane " << lane;
#endif
        }
    }
}

// Exact separating axes in integers, for corners on a grid of quarters.
bool touchesOnGrid(const Triangle& t, const float boxMin[3], const float boxMax[3]) {
    int64_t v[3][3];
    int64_t lo[3];
    int64_t hi[3];
    for (int k = 0; k < 3; ++k) {
        v[0][k] = std::lround(component(t.V0, k) * 4);
        v[1][k] = std::lround(component(t.V1, k) * 4);
        v[2][k] = std::lround(component(t.V2, k) * 4);
        lo[k] = std::lround(boxMin[k] * 4);
        hi[k] = std::lround(boxMax[k] * 4);
    }
    std::vector<std::array<int64_t, 3>> axes = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    int64_t e[3][3];
    for (int i = 0; i < 3; ++i)
        for (int k = 0; k < 3; ++k)
            e[i][k] = v[(i + 1) % 3][k] - v[i][k];
    axes.push_back({e[0][1] * e[1][2] - e[0][2] * e[1][1], e[0][2] * e[1][0] - e[0][0] * e[1][2],
                    e[0][0] * e[1][1] - e[0][1] * e[1][0]});
    for (const auto& d : e) {
        axes.push_back({0, d[2], -d[1]});
        axes.push_back({-d[2], 0, d[0]});
        axes.push_back({d[1], -d[0], 0});
    }
    for (const auto& a : axes) {
        int64_t shapeLo = INT64_MAX;
        int64_t shapeHi = INT64_MIN;
        for (const auto& p : v) {
            const int64_t s = a[0] * p[0] + a[1] * p[1] + a[2] * p[2];
            shapeLo = std::min(shapeLo, s);
            shapeHi = std::max(shapeHi, s);
        }
        int64_t boxLo = 0;
        int64_t boxHi = 0;
        for (int k = 0; k < 3; ++k) {
            boxLo += std::min(a[k] * lo[k], a[k] * hi[k]);
            boxHi += std::max(a[k] * lo[k], a[k] * hi[k]);
        }
        if (shapeLo > boxHi || shapeHi < boxLo)
            return false;
    }
    return true;
}

TEST(TriangleTouchesBox, AgreesWithExactSeparatingAxesOnAGrid) {
    const float lo[3] = {-1, -0.5f, 0};
    const float hi[3] = {1, 1.5f, 0.75f};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> quarter(-16, 16);
    std::uniform_int_distribution<int> pick(0, 5);
    const float corner[2][3] = {{lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}};
    int touching = 0;
    int apart = 0;
    int grazing = 0;
    for (int round = 0; round < 60000; ++round) {
        Vector3 p[3];
        for (Vector3& q : p)
            q = {quarter(random) * 0.25f, quarter(random) * 0.25f, quarter(random) * 0.25f};
        // Corners on a face, an edge or a corner of the box, and edges that
        // pass along one, where only exact arithmetic tells touching from apart.
        if (pick(random) < 3) {
            float* c[3] = {&p[0].x, &p[0].y, &p[0].z};
            for (int k = 0; k < 3; ++k)
                if (pick(random) < 3)
                    *c[k] = corner[pick(random) % 2][k];
            if (pick(random) == 0)
                p[1] = p[0] + (p[0] - p[2]);
        }
        const Triangle t{p[0], p[1], p[2], {}};
        const bool exact = touchesOnGrid(t, lo, hi);
        ASSERT_EQ(triangleTouchesBox(t, lo, hi), exact)
            << round << ": (" << p[0].x << " " << p[0].y << " " << p[0].z << ") (" << p[1].x << " "
            << p[1].y << " " << p[1].z << ") (" << p[2].x << " " << p[2].y << " " << p[2].z << ")";
        touching += exact;
        apart += !exact;
        // Apart from the box though its bounds overlap it: what the face test let in.
        bool overlap = true;
        for (int k = 0; k < 3; ++k) {
            const float a = component(p[0], k), b = component(p[1], k), c = component(p[2], k);
            overlap = overlap && !(a < lo[k] && b < lo[k] && c < lo[k]) &&
                      !(a > hi[k] && b > hi[k] && c > hi[k]);
        }
        grazing += !exact && overlap;
    }
    EXPECT_GT(touching, 5000);
    EXPECT_GT(apart, 5000);
    EXPECT_GT(grazing, 1000);
}

TEST(TriangleTouchesBox, NeverRejectsATriangleThroughAPointOfTheBox) {
    // Off the grid: a triangle made around a point of the box (on a face, an
    // edge, a corner or inside) must touch it, however rounding falls.
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_real_distribution<float> spread(-1000.0f, 1000.0f);
    for (int round = 0; round < 100000; ++round) {
        const float scale = std::ldexp(1.0f, static_cast<int>(random() % 40) - 20);
        float lo[3];
        float hi[3];
        float point[3];
        for (int k = 0; k < 3; ++k) {
            lo[k] = spread(random) * scale;
            hi[k] = lo[k] + unit(random) * 100.0f * scale;
            const int where = static_cast<int>(random() % 3);
            point[k] = where == 0   ? lo[k]
                       : where == 1 ? hi[k]
                                    : lo[k] + (hi[k] - lo[k]) * unit(random);
        }
        // Two edges through the point: V1 - P and P - V2 on one line, the
        // third corner anywhere; rounding puts P a hair off the edge at most.
        const Vector3 p{point[0], point[1], point[2]};
        const Vector3 d{spread(random) * scale, spread(random) * scale, spread(random) * scale};
        const Vector3 w{spread(random) * scale, spread(random) * scale, spread(random) * scale};
        const float share = unit(random);
        const Vector3 a = p + d * share;
        const Vector3 b = p - d * (1.0f - share);
        const Triangle t{a, b, p + w * unit(random), {}};
        // a and b are rounded, so p may lie off the segment by a rounding:
        // widen the box by that much to ask a fair question.
        float wideLo[3];
        float wideHi[3];
        for (int k = 0; k < 3; ++k) {
            const float slack = 1e-5f * (std::fabs(lo[k]) + std::fabs(hi[k]) + 2000.0f * scale);
            wideLo[k] = lo[k] - slack;
            wideHi[k] = hi[k] + slack;
        }
        ASSERT_TRUE(triangleTouchesBox(t, wideLo, wideHi)) << round;
    }
}

TEST(CreateChildren, SplitsBoxAndDistributesInReverseOrder) {
    BuildContext build;
    CKdNode node(build);
    setBox(node, 0, 0, 0, 4, 2, 2);
    node.axis = 0;
    node.split = 2;
    Sphere a = sphere(0.5f, 1, 1, 0.25f);               // lower only
    Sphere b = sphere(2.0f, 1, 1, 0.25f);               // crosses the plane
    Sphere c = sphere(3.5f, 1, 1, 0.25f);               // upper only
    Sphere d = sphere(1.5f, 1, 1, 0.5f);                // touches the plane at exactly its radius
    Triangle t{{0.5f, 0, 0}, {1, 0, 0}, {1, 1, 0}, {}}; // lower only
    Sphere n = sphere(1, 1, 1, 5);
    // Front to back: a, b, c, d, t, then two entries that reach no child.
    node.primitives.push_front({&n, static_cast<PrimitiveType>(0)});
    node.primitives.push_front({&n, PrimitiveType::NestedTree});
    node.primitives.push_front(ref(t));
    node.primitives.push_front(ref(d));
    node.primitives.push_front(ref(c));
    node.primitives.push_front(ref(b));
    node.primitives.push_front(ref(a));

    createChildren(node);
    ASSERT_NE(node.left, nullptr);
    ASSERT_NE(node.right, nullptr);
    EXPECT_EQ(node.left->boundsMin[0], 0.0f);
    EXPECT_EQ(node.left->boundsMax[0], 2.0f);
    EXPECT_EQ(node.right->boundsMin[0], 2.0f);
    EXPECT_EQ(node.right->boundsMax[0], 4.0f);
    for (int k = 1; k < 3; ++k) {
        EXPECT_EQ(node.left->boundsMax[k], 2.0f);
        EXPECT_EQ(node.right->boundsMin[k], 0.0f);
    }
    EXPECT_EQ(objects(*node.left), (std::vector<void*>{&t, &d, &b, &a}));
    EXPECT_EQ(objects(*node.right), (std::vector<void*>{&d, &c, &b}));
    EXPECT_TRUE(node.left->primitives.front().type == PrimitiveType::Triangle);
    EXPECT_EQ(node.primitives.size(), 7u); // the parent keeps its own list
}

// Each child must receive exactly the spheres that sphereTouchesBox finds
// touching its box, on every axis, including spheres at exactly their radius
// from a face, edge or corner of either child.
TEST(CreateChildren, AgreesWithSphereTouchesBoxOnEveryAxis) {
    BuildContext build;
    std::mt19937 random(11);
    std::uniform_real_distribution<float> place(-3.0f, 5.0f);
    std::uniform_real_distribution<float> size(0.0f, 1.5f);
    std::vector<Sphere> spheres;
    for (int i = 0; i < 3000; ++i)
        spheres.push_back(sphere(place(random), place(random), place(random), size(random)));
    // Edges of the boxes at exactly the radius (3-4-5), beside the x plane.
    for (float x : {-3.0f, -1.0f, 5.0f, 7.0f})
        spheres.push_back(sphere(x, -5.0f, 1.5f, 5.0f));

    for (int32_t axis = 0; axis < 3; ++axis) {
        CKdNode node(build);
        setBox(node, 0, -1, 1, 4, 3, 2);
        node.axis = axis;
        node.split = (node.boundsMin[axis] + node.boundsMax[axis]) * 0.5f;
        for (Sphere& s : spheres)
            node.primitives.push_front(ref(s));
        const std::vector<void*> before = objects(node);
        createChildren(node);
        // The children's lists are filled without branches; nothing they
        // write may land in the list they came from.
        EXPECT_EQ(objects(node), before) << "axis " << axis;

        std::vector<void*> lower;
        std::vector<void*> upper;
        for (const PrimitiveRef& r : node.primitives) {
            const Sphere& s = *static_cast<const Sphere*>(r.object);
            if (sphereTouchesBox(s, node.left->boundsMin, node.left->boundsMax))
                lower.insert(lower.begin(), r.object);
            if (sphereTouchesBox(s, node.right->boundsMin, node.right->boundsMax))
                upper.insert(upper.begin(), r.object);
        }
        EXPECT_EQ(objects(*node.left), lower) << "axis " << axis;
        EXPECT_EQ(objects(*node.right), upper) << "axis " << axis;
        // Both sides and the spheres that reach neither must occur.
        EXPECT_LT(lower.size() + upper.size(), spheres.size() * 2);
        EXPECT_GT(lower.size(), spheres.size() / 20);
        EXPECT_GT(upper.size(), spheres.size() / 20);
    }
}

TEST(CKdNodeDestructor, ReleasesADeepTreeLeftThenRightBeforeTheParentsList) {
    BuildContext build;
    std::vector<int> order;
    std::vector<size_t> parentEntries;
    CountedNode::order = &order;
    CountedNode::parentEntries = &parentEntries;
    Sphere s = sphere(0, 0, 0, 1);
    {
        // A chain 20 levels deep: node 2L - 1 and node 2L are the children of
        // the left node of level L - 1; every inner node holds one entry.
        CountedNode* root = new CountedNode(build, 0, nullptr);
        CKdNode* node = root;
        for (int level = 1; level <= 20; ++level) {
            node->primitives.push_front(ref(s));
            node->left = new CountedNode(build, 2 * level - 1, node);
            node->right = new CountedNode(build, 2 * level, node);
            node = node->left;
        }
        EXPECT_EQ(CountedNode::live, 41);
        delete root;
    }
    EXPECT_EQ(CountedNode::live, 0);
    // Depth first, the lower child before the upper one at every level.
    std::vector<int> expected = {0};
    for (int id = 1; id <= 39; id += 2)
        expected.push_back(id);
    for (int id = 40; id >= 2; id -= 2)
        expected.push_back(id);
    EXPECT_EQ(order, expected);
    // Every child went while its parent still held its entry.
    EXPECT_EQ(parentEntries, std::vector<size_t>(40, 1));
    CountedNode::order = nullptr;
    CountedNode::parentEntries = nullptr;
}
