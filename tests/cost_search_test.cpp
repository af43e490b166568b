// The build must grow and compile exactly the trees of the reference builder:
// the plane search, the child step, the driver and the compile step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/compiled_tree_diff.h"
#include "tests/support/reference_build.h"
#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/compile/compile.h"
#include "vantrel/kdtree/nodes/box_tests.h"
#include "vantrel/kdtree/nodes/build_driver.h"
#include "vantrel/kdtree/nodes/kd_node.h"
#include "vantrel/kdtree/split/cost_plane_search.h"
#include "vantrel/scene/vector_ops.h"

using namespace vantrel;
using vantrel::testing_support::compiledTreeDifference;

namespace {

const float notANumber = std::numeric_limits<float>::quiet_NaN();
const float infinity = std::numeric_limits<float>::infinity();

using testing_support::casesToRun;
using testing_support::floatBits;

// Owns the primitives of one random scene and its list of references.
struct Scene {
    std::deque<Sphere> spheres;
    std::deque<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
};

struct SceneShape {
    int sphereCount = 0;
    int triangleCount = 0;
    bool grid = false;       // coordinates on a coarse grid, so candidates coincide
    bool flatZ = false;      // every primitive at z = 0: zero extent on z
    bool duplicates = false; // references repeated, and copies of primitives
    bool enclosing = false;  // a few primitives enclosing everything
    bool nans = false;       // some NaN coordinates and radii
    bool strangers = false;  // entries of other types
    bool farOff = false;     // moved off on x, where a triangle test's reach spans candidates
    bool crowded = false;    // candidates closer together than method 2's margin
};

class SceneMaker {
  public:
    explicit SceneMaker(uint32_t seed) : rng(seed) {}

    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    float coordinate(const SceneShape& shape) {
        if (shape.crowded)
            return nudge(static_cast<float>(pick(-20, 20)) * 0.0003f);
        if (shape.grid)
            return nudge(static_cast<float>(pick(-8, 8)) * 0.5f);
        return uniform(-5.0f, 5.0f);
    }

    // Moves a grid value by a few ulps now and then, so that candidates lie
    // next to each other where rounding decides the box tests.
    float nudge(float value) {
        const int steps = pick(-6, 6);
        if (steps < -3 || steps > 3)
            return value;
        for (int i = 0; i < std::abs(steps); ++i)
            value = std::nextafter(value, steps < 0 ? -1e30f : 1e30f);
        return value;
    }

    Vector3 point(const SceneShape& shape) {
        Vector3 p{coordinate(shape), coordinate(shape), coordinate(shape)};
        if (shape.farOff)
            p.x += 2.0e5f;
        if (shape.flatZ)
            p.z = 0.0f;
        if (shape.nans && pick(0, 19) == 0) {
            const int k = pick(0, 2);
            (k == 0 ? p.x : (k == 1 ? p.y : p.z)) = notANumber;
        }
        return p;
    }

    float radius(const SceneShape& shape) {
        if (shape.flatZ)
            return 0.0f;
        if (shape.nans && pick(0, 24) == 0)
            return notANumber;
        if (shape.crowded)
            return nudge(static_cast<float>(pick(1, 4)) * 0.002f);
        if (shape.grid)
            return nudge(static_cast<float>(pick(1, 3)) * 0.5f);
        return uniform(0.05f, 1.5f);
    }

    void make(const SceneShape& shape, Scene& scene) {
        for (int i = 0; i < shape.sphereCount; ++i) {
            scene.spheres.push_back({point(shape), radius(shape), {}});
            scene.refs.push_back({&scene.spheres.back(), PrimitiveType::Sphere});
        }
        for (int i = 0; i < shape.triangleCount; ++i) {
            const Vector3 a = point(shape);
            const Vector3 spread{uniform(-1.5f, 1.5f), uniform(-1.5f, 1.5f), uniform(-1.5f, 1.5f)};
            Vector3 b = a + spread;
            Vector3 c = a + Vector3{spread.y, -spread.x, spread.z * 0.5f};
            if (shape.grid) {
                const auto step = [&] { return static_cast<float>(pick(-2, 2)) * 0.5f; };
                b = a + Vector3{step(), step(), step()};
                c = a + Vector3{step(), step(), step()};
            }
            if (shape.flatZ)
                b.z = c.z = 0.0f;
            scene.triangles.push_back({a, b, c, {}});
            scene.refs.push_back({&scene.triangles.back(), PrimitiveType::Triangle});
        }
        if (shape.enclosing) {
            scene.spheres.push_back({{0, 0, 0}, 40.0f, {}});
            scene.refs.push_back({&scene.spheres.back(), PrimitiveType::Sphere});
            if (shape.triangleCount > 0) {
                scene.triangles.push_back({{-30, -30, -30}, {90, -30, -30}, {-30, 90, 90}, {}});
                scene.refs.push_back({&scene.triangles.back(), PrimitiveType::Triangle});
            }
        }
        if (shape.duplicates && !scene.refs.empty()) {
            const size_t original = scene.refs.size();
            for (size_t i = 0; i < original / 2; ++i) {
                const PrimitiveRef r = scene.refs[static_cast<size_t>(pick(0, int(original) - 1))];
                if (r.type == PrimitiveType::Sphere && pick(0, 1) == 0) {
                    scene.spheres.push_back(*static_cast<const Sphere*>(r.object));
                    scene.refs.push_back({&scene.spheres.back(), PrimitiveType::Sphere});
                } else {
                    scene.refs.push_back(r);
                }
            }
        }
        if (shape.strangers) {
            scene.refs.push_back({nullptr, PrimitiveType::NestedTree});
            scene.refs.push_back({nullptr, static_cast<PrimitiveType>(7)});
        }
        std::shuffle(scene.refs.begin(), scene.refs.end(), rng);
    }

    std::mt19937 rng;
};

// Roots of every reference in the scene, the ones the driver leaves out
// included, so that the searches meet NaN and other entries too.
void loadEveryEntry(CKdNode& root, const std::vector<PrimitiveRef>& refs) {
    for (const PrimitiveRef& r : refs)
        root.primitives.push_front(r);
    computeBounds(root);
}

void loadEveryEntry(reference::Node& root, const std::vector<PrimitiveRef>& refs) {
    for (const PrimitiveRef& r : refs)
        root.primitives.push_front(r);
    reference::computeBounds(root);
}

struct TreeStats {
    int inner = 0;
    int leaves = 0;
};

// Empty when both trees agree in every node's box, kind, plane and list.
std::string firstDifference(const CKdNode& a, const reference::Node& b, const std::string& path,
                            TreeStats& stats) {
    std::ostringstream out;
    for (int k = 0; k < 3; ++k) {
        if (floatBits(a.boundsMin[k]) != floatBits(b.boundsMin[k]) ||
            floatBits(a.boundsMax[k]) != floatBits(b.boundsMax[k])) {
            out << path << ": boxes differ on axis " << k;
            return out.str();
        }
    }
    if (a.isLeaf != b.isLeaf) {
        out << path << ": leaf " << a.isLeaf << " against " << b.isLeaf;
        return out.str();
    }
    if (a.primitives.size() != b.primitives.size() ||
        !std::equal(a.primitives.begin(), a.primitives.end(), b.primitives.begin(),
                    [](const PrimitiveRef& x, const PrimitiveRef& y) {
                        return x.object == y.object && x.type == y.type;
                    })) {
        out << path << ": lists differ";
        return out.str();
    }
    if (a.isLeaf) {
        ++stats.leaves;
        return "";
    }
    ++stats.inner;
    if (a.axis != b.axis || floatBits(a.split) != floatBits(b.split)) {
        out << path << ": plane " << a.axis << "/" << a.split << " against " << b.axis << "/"
            << b.split;
        return out.str();
    }
    const std::string lower = firstDifference(*a.left, *b.left, path + "L", stats);
    if (!lower.empty())
        return lower;
    return firstDifference(*a.right, *b.right, path + "R", stats);
}

// Grows the scene with the build's steps and the reference's and compares the
// node trees, then the trees each compiles to, then the trees the drivers
// build.
TreeStats expectSameTrees(const Scene& scene, int32_t method, const std::string& label) {
    BuildContext build;
    CKdNode fast(build);
    reference::Node plain;
    loadEveryEntry(fast, scene.refs);
    loadEveryEntry(plain, scene.refs);
    growNodeTree(fast, method);
    reference::growNodeTree(plain, method);
    TreeStats stats;
    EXPECT_EQ(firstDifference(fast, plain, "root", stats), "") << label << ", method " << method;

    KdTree* compiled[2] = {};
    compileKdTree(fast, &compiled[0]);
    uint32_t nodeCount = 0;
    uint32_t leafCount = 0;
    countNodes(fast, nodeCount, leafCount);
    packLeafShapes(*compiled[0], leafCount, build);
    compiled[1] = reference::compileKdTree(plain);
    const PrimitiveList list{const_cast<PrimitiveRef*>(scene.refs.data()),
                             static_cast<uint32_t>(scene.refs.size())};
    KdTree* built[2] = {};
    buildKdTree(&built[0], &list, method);
    built[1] = reference::buildKdTree(list, method);
    EXPECT_EQ(compiledTreeDifference(*compiled[0], *compiled[1]), "")
        << label << ", method " << method << ", compiled";
    EXPECT_EQ(compiledTreeDifference(*built[0], *built[1]), "")
        << label << ", method " << method << ", built";
    for (KdTree* tree : {compiled[0], compiled[1], built[0], built[1]})
        releaseKdTree(tree);
    return stats;
}

// Runs many random scenes of one shape and checks they grew real trees.
void compareMany(SceneShape shape, int scenes, int maxCount, uint32_t seed,
                 const std::string& label) {
    SceneMaker maker(seed);
    const bool spheres = shape.sphereCount > 0;
    const bool triangles = shape.triangleCount > 0;
    TreeStats total;
    for (int i = 0; i < scenes; ++i) {
        shape.sphereCount = spheres ? maker.pick(1, maxCount) : 0;
        shape.triangleCount = triangles ? maker.pick(1, maxCount) : 0;
        Scene scene;
        maker.make(shape, scene);
        for (const int32_t method : {0, 1, 2}) {
            const TreeStats stats =
                expectSameTrees(scene, method, label + " #" + std::to_string(i));
            total.inner += stats.inner;
            total.leaves += stats.leaves;
        }
        if (::testing::Test::HasFailure())
            return; // one reported difference is enough
    }
    EXPECT_GT(total.inner, scenes) << label << ": the scenes hardly split";
}

} // namespace

TEST(CostSearchBoxTests, SwitchOnceAsThePlaneMovesUp) {
    // The fast search relies on these: along ascending planes the lower-box
    // test turns from false to true at most once, the upper-box test from true
    // to false, for any sphere or triangle, NaN and infinities included.
    SceneMaker maker(11);
    const float oddValues[] = {notANumber, infinity, -infinity, 0.0f, -0.0f, 1e-30f, 3e38f, -3e38f};
    const auto value = [&](float lo, float hi) {
        return maker.pick(0, 9) == 0 ? oddValues[maker.pick(0, 7)] : maker.uniform(lo, hi);
    };
    int sphereSwitches = 0;
    int triangleSwitches = 0;
    for (int round = 0; round < 3000; ++round) {
        float boxMin[3];
        float boxMax[3];
        for (int k = 0; k < 3; ++k) {
            boxMin[k] = maker.uniform(-4.0f, 0.0f);
            boxMax[k] = maker.pick(0, 9) == 0 ? boxMin[k] : maker.uniform(0.0f, 4.0f);
        }
        const int axis = maker.pick(0, 2);
        const Sphere s{{value(-6, 6), value(-6, 6), value(-6, 6)}, value(0, 3), {}};
        const Triangle t{{value(-6, 6), value(-6, 6), value(-6, 6)},
                         {value(-6, 6), value(-6, 6), value(-6, 6)},
                         {value(-6, 6), value(-6, 6), value(-6, 6)},
                         {}};
        // Planes inside the box, its faces, and planes just next to the
        // sphere's own reach where rounding decides.
        std::vector<float> planes{boxMin[axis], boxMax[axis]};
        const float c = component(s.centre, axis);
        for (int i = 0; i < 40; ++i) {
            planes.push_back(maker.uniform(boxMin[axis], boxMax[axis]));
            const float near = std::nextafter(c - s.radius + maker.uniform(-1e-5f, 1e-5f), 0.0f);
            if (near >= boxMin[axis] && near <= boxMax[axis])
                planes.push_back(near);
        }
        std::sort(planes.begin(), planes.end());

        bool lowerSphere = false;
        bool lowerTriangle = false;
        bool upperSphere = true;
        bool upperTriangle = true;
        for (size_t i = 0; i < planes.size(); ++i) {
            float lowerMax[3] = {boxMax[0], boxMax[1], boxMax[2]};
            float upperMin[3] = {boxMin[0], boxMin[1], boxMin[2]};
            lowerMax[axis] = upperMin[axis] = planes[i];
            const bool ls = sphereTouchesBox(s, boxMin, lowerMax);
            const bool us = sphereTouchesBox(s, upperMin, boxMax);
            const bool lt = triangleTouchesBox(t, boxMin, lowerMax);
            const bool ut = triangleTouchesBox(t, upperMin, boxMax);
            ASSERT_TRUE(ls || !lowerSphere) << "round " << round << " plane " << planes[i];
            ASSERT_TRUE(!us || upperSphere) << "round " << round << " plane " << planes[i];
            ASSERT_TRUE(lt || !lowerTriangle) << "round " << round << " plane " << planes[i];
            ASSERT_TRUE(!ut || upperTriangle) << "round " << round << " plane " << planes[i];
            sphereSwitches += (ls != lowerSphere) + (i > 0 && us != upperSphere);
            triangleSwitches += (lt != lowerTriangle) + (i > 0 && ut != upperTriangle);
            lowerSphere = ls;
            upperSphere = us;
            lowerTriangle = lt;
            upperTriangle = ut;
        }
    }
    // The planes did cross many primitives.
    EXPECT_GT(sphereSwitches, 500);
    EXPECT_GT(triangleSwitches, 500);
}

TEST(CostSearchTrees, AgreeOnRandomScenes) {
    struct Case {
        const char* label;
        bool spheres, triangles, grid, flatZ, duplicates, enclosing, nans, strangers, farOff;
        int scenes, maxCount;
    };
    const Case cases[] = {
        {"spheres", true, false, false, false, false, false, false, false, false, 60, 60},
        {"spheres on a grid", true, false, true, false, false, false, false, false, false, 60, 60},
        {"triangles", false, true, false, false, false, false, false, false, false, 40, 50},
        {"triangles on a grid", false, true, true, false, false, false, false, false, false, 40,
         50},
        {"mixed", true, true, false, false, false, false, false, false, false, 40, 40},
        {"mixed on a grid, other entries", true, true, true, false, false, false, false, true,
         false, 40, 40},
        {"duplicates", true, true, false, false, true, false, false, false, false, 40, 40},
        {"duplicates, enclosing, grid", true, true, true, false, true, true, false, false, false,
         40, 40},
        {"flat in z", true, true, false, true, false, false, false, false, false, 40, 40},
        {"flat in z on a grid", true, true, true, true, false, false, false, false, false, 40, 40},
        {"far off on a grid", true, true, true, false, false, false, false, false, true, 40, 40},
        {"NaN coordinates and radii", true, true, false, false, false, false, true, false, false,
         40, 40},
    };
    uint32_t seed = 1;
    for (const Case& c : cases) {
        SceneShape shape;
        shape.sphereCount = c.spheres ? 1 : 0;
        shape.triangleCount = c.triangles ? 1 : 0;
        shape.grid = c.grid;
        shape.flatZ = c.flatZ;
        shape.duplicates = c.duplicates;
        shape.enclosing = c.enclosing;
        shape.nans = c.nans;
        shape.strangers = c.strangers;
        shape.farOff = c.farOff;
        compareMany(shape, casesToRun(c.scenes), c.maxCount, seed++, c.label);
    }
    // Many spheres inside one box on the other axes, with other candidates
    // between their surfaces and their own (the margin) or a few ulps off:
    // the switch lies slots away from any guess.
    SceneShape crowded;
    crowded.sphereCount = 1;
    crowded.triangleCount = 1;
    crowded.crowded = true;
    compareMany(crowded, casesToRun(40), 60, seed++, "crowded within the margin");
}

TEST(CostSearchTrees, LargeNodesAgreeOnTheirPlane) {
    BuildContext build;
    // One node of many entries, where the switch points lie far apart in the
    // sorted candidates.
    SceneMaker maker(13);
    for (int round = 0; round < 4; ++round) {
        SceneShape shape;
        shape.sphereCount = 700;
        shape.triangleCount = round % 2 == 0 ? 0 : 300;
        shape.grid = round >= 2;
        shape.duplicates = true;
        shape.enclosing = true;
        Scene scene;
        maker.make(shape, scene);
        for (const int32_t method : {1, 2}) {
            CKdNode fast(build);
            reference::Node plain;
            loadEveryEntry(fast, scene.refs);
            loadEveryEntry(plain, scene.refs);
            fast.axis = plain.axis = 0;
            fast.split = plain.split = 0.5f;
            CostSearchScratch scratch;
            orderCandidates(fast, method, scratch.order, scratch);
            const float fastCost = searchCostPlaneOrdered(fast, method, scratch.order, scratch);
            const float plainCost = reference::searchCostPlane(plain, method);
            EXPECT_EQ(floatBits(fastCost), floatBits(plainCost)) << "round " << round;
            EXPECT_EQ(fast.axis, plain.axis) << "round " << round;
            EXPECT_EQ(floatBits(fast.split), floatBits(plain.split)) << "round " << round;
        }
    }
}
