// Builds on several threads at once: each holds a context of its own, so
// trees built at the same time come out bit for bit as when built one after
// the other, and builds that together would pass the budget they share stop
// at it.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "tests/compiled_tree_diff.h"
#include "tests/test_support.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/build_budget.h"
#include "vantrel/scene/vector_ops.h"

using namespace vantrel;
using namespace vantrel::testing_support;

namespace {

struct Scene {
    std::vector<Sphere> spheres;
    std::vector<Triangle> triangles;
    std::vector<PrimitiveRef> refs;
    PrimitiveList list() { return listOf(refs); }
};

Scene randomScene(uint32_t seed, int sphereCount, int triangleCount) {
    std::mt19937 random(seed);
    Scene scene;
    for (int i = 0; i < sphereCount; ++i) {
        const Vector3 c{randomFloat(random, -20, 20), randomFloat(random, -20, 20),
                        randomFloat(random, -20, 20)};
        scene.spheres.push_back({c, randomFloat(random, 0.05f, 0.6f), {}});
    }
    for (int i = 0; i < triangleCount; ++i) {
        const Vector3 a{randomFloat(random, -20, 20), randomFloat(random, -20, 20),
                        randomFloat(random, -20, 20)};
        const Vector3 d{randomFloat(random, -1, 1), randomFloat(random, -1, 1),
                        randomFloat(random, -1, 1)};
        scene.triangles.push_back({a, a + d, a + Vector3{d.y, -d.x, d.z}, {}});
    }
    referenceAll(scene.spheres, scene.triangles, scene.refs);
    return scene;
}

Tree build(Scene& scene, int32_t method, const BuildOptions& options = {}) {
    KdTree* tree = nullptr;
    const PrimitiveList list = scene.list();
    EXPECT_EQ(buildKdTree(&tree, &list, method, options), BuildResult::Built);
    return Tree(tree);
}

BuildOptions sharing(SharedBuildBudget& budget) {
    BuildOptions options;
    options.sharedBudget = &budget;
    return options;
}

// Runs both on two threads, started together.
template <class First, class Second> void together(First first, Second second) {
    std::atomic<int> ready{0};
    const auto start = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 2)
            std::this_thread::yield();
    };
    std::thread other([&] {
        start();
        second();
    });
    start();
    first();
    other.join();
}

} // namespace

TEST(ConcurrentBuilds, MatchTheBuildsMadeOneAfterTheOther) {
    Scene scenes[3] = {randomScene(1, 12000, 0), randomScene(2, 0, 6000),
                       randomScene(3, 4000, 3000)};
    for (const int32_t method : {0, 1, 2}) {
        Tree alone[3];
        for (int s = 0; s < 3; ++s)
            alone[s] = build(scenes[s], method);
        // Pairs of different scenes, and one scene on two threads at once.
        const int pairs[4][2] = {{0, 1}, {1, 2}, {2, 0}, {2, 2}};
        for (const auto& pair : pairs) {
            Tree kept[2];
            PrimitiveList lists[2] = {scenes[pair[0]].list(), scenes[pair[1]].list()};
            KdTree* made[2] = {};
            together([&] { buildKdTree(&made[0], &lists[0], method); },
                     [&] { buildKdTree(&made[1], &lists[1], method); });
            for (int side = 0; side < 2; ++side) {
                kept[side].reset(made[side]);
                ASSERT_NE(made[side], nullptr);
                EXPECT_EQ(compiledTreeDifference(*alone[pair[side]], *made[side]), "")
                    << "method " << method << ", scenes " << pair[0] << " and " << pair[1];
            }
        }
    }
}

TEST(ConcurrentBuilds, StopAtTheBudgetTheyShareAndNowhereElse) {
    Scene scene = randomScene(4, 20000, 0);
    const Tree alone = build(scene, 0);
    // The least shared budget one build completes in.
    std::size_t lacking = 0;
    std::size_t enough = std::size_t{256} << 20;
    while (enough - lacking > (std::size_t{1} << 16)) {
        const std::size_t middle = lacking + (enough - lacking) / 2;
        SharedBuildBudget budget(middle);
        KdTree* tree = nullptr;
        const PrimitiveList list = scene.list();
        const bool built = buildKdTree(&tree, &list, 0, sharing(budget)) == BuildResult::Built;
        (built ? enough : lacking) = middle;
        releaseKdTree(tree);
        EXPECT_EQ(budget.taken(), 0u);
    }
    ASSERT_GT(lacking, std::size_t{1} << 20);

    // Room for one and a half builds: of two at once, one stops at the
    // budget (were they not to overlap in time, both would get through), and
    // whichever gets through builds the tree it builds alone. Room for two
    // and a half: both always get through.
    for (const double room : {1.5, 2.5}) {
        SharedBuildBudget budget(static_cast<std::size_t>(enough * room));
        int stopped = 0;
        for (int round = 0; round < 6; ++round) {
            PrimitiveList lists[2] = {scene.list(), scene.list()};
            KdTree* made[2] = {};
            BuildResult results[2];
            together([&] { results[0] = buildKdTree(&made[0], &lists[0], 0, sharing(budget)); },
                     [&] { results[1] = buildKdTree(&made[1], &lists[1], 0, sharing(budget)); });
            EXPECT_FALSE(results[0] == BuildResult::OverBudget &&
                         results[1] == BuildResult::OverBudget && room > 2.0);
            for (int side = 0; side < 2; ++side) {
                const Tree tree(made[side]);
                if (results[side] == BuildResult::Built)
                    EXPECT_EQ(compiledTreeDifference(*alone, *tree), "") << room;
                else
                    EXPECT_EQ(results[side], BuildResult::OverBudget) << room;
                stopped += results[side] == BuildResult::OverBudget;
            }
            EXPECT_EQ(budget.taken(), 0u);
        }
        if (room < 2.0)
            EXPECT_GE(stopped, 1);
        else
            EXPECT_EQ(stopped, 0);
    }
}
