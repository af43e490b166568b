// Replaces the global allocator to fail the n-th allocation of a build, and
// to see how much a build that passes its memory budget had taken.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <malloc.h>
#include <new>
#include <sys/mman.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/build_budget.h"
#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/nodes/build_driver.h"
#include "vantrel/kdtree/nodes/kd_node.h"

using namespace vantrel;

#if defined(__SANITIZE_ADDRESS__)
#define ADDRESS_SANITIZED
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ADDRESS_SANITIZED
#endif
#endif

namespace {

long liveBlocks = 0;
long allocationsLeft = -1; // negative: never fail
long allocationsMade = 0;
std::size_t liveBytes = 0;
std::size_t peakBytes = 0;

void* allocate(std::size_t size) {
    if (allocationsLeft == 0)
        throw std::bad_alloc();
    if (allocationsLeft > 0)
        --allocationsLeft;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw std::bad_alloc();
    ++liveBlocks;
    ++allocationsMade;
    liveBytes += malloc_usable_size(block);
    peakBytes = std::max(peakBytes, liveBytes);
    return block;
}

void release(void* block) {
    if (block == nullptr)
        return;
    --liveBlocks;
    liveBytes -= malloc_usable_size(block);
    std::free(block);
}

} // namespace

void* operator new(std::size_t size) {
    return allocate(size);
}
void* operator new[](std::size_t size) {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    release(block);
}
void operator delete[](void* block) noexcept {
    release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    release(block);
}

namespace {

// True when the build ended in std::bad_alloc.
std::vector<PrimitiveRef> referencesTo(std::vector<Sphere>& spheres) {
    std::vector<PrimitiveRef> refs;
    for (Sphere& s : spheres)
        refs.push_back({&s, PrimitiveType::Sphere});
    return refs;
}

bool buildThrows(KdTree** out, const PrimitiveList& list, int32_t method) {
    try {
        buildKdTree(out, &list, method);
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

BuildOptions withBudget(std::size_t bytes) {
    BuildOptions options;
    options.memoryBudget = bytes;
    return options;
}

} // namespace

TEST(BuildKdTree, AllocationFailureReleasesEverythingMadeSoFar) {
    std::vector<Sphere> spheres;
    for (int i = 0; i < 60; ++i)
        spheres.push_back({{float(i % 7), float(i % 5), float(i % 3)}, 0.4f, {}});
    std::vector<PrimitiveRef> refs = referencesTo(spheres);
    const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};

    // A complete build first, to learn how many allocations it takes.
    KdTree* tree = nullptr;
    long before = liveBlocks;
    allocationsMade = 0;
    buildKdTree(&tree, &list, 0);
    const long total = allocationsMade;
    ASSERT_NE(tree, nullptr);
    releaseKdTree(tree);
    EXPECT_EQ(liveBlocks, before);
    ASSERT_GT(total, 100);

    // Then fail each allocation in turn: the node tree, the list entries and
    // the compile step's arrays all have to come back.
    for (long failAt = 0; failAt < total; ++failAt) {
        KdTree* untouched = reinterpret_cast<KdTree*>(&spheres[0]);
        before = liveBlocks;
        allocationsLeft = failAt;
        const bool thrown = buildThrows(&untouched, list, 0);
        allocationsLeft = failAt;
        const BuildResult result = buildKdTree(&untouched, &list, 0, BuildOptions{});
        allocationsLeft = -1;
        ASSERT_TRUE(thrown) << "allocation " << failAt;
        ASSERT_EQ(result, BuildResult::OutOfMemory) << "allocation " << failAt;
        ASSERT_EQ(liveBlocks, before) << "allocation " << failAt;
        ASSERT_EQ(untouched, reinterpret_cast<KdTree*>(&spheres[0])) << "allocation " << failAt;
    }
}

// Overlapping shapes are referenced from every cell down to the leaves: about
// 5 MB each with the midpoint split. Past the budget the build must stop
// before it takes the memory, and leave nothing behind; the midpoint split
// foresees it before its lists grow at all.
TEST(BuildKdTree, StopsAtTheMemoryBudgetBeforeTakingTheMemory) {
    std::vector<Sphere> spheres(60, Sphere{{1, 2, 3}, 0.5f, {}});
    std::vector<PrimitiveRef> refs = referencesTo(spheres);
    const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};
    const std::size_t budget = std::size_t{8} << 20;

    KdTree* untouched = reinterpret_cast<KdTree*>(&spheres[0]);
    const long before = liveBlocks;
    {
        const std::size_t bytesBefore = liveBytes;
        peakBytes = liveBytes;
        BuildContext context(withBudget(budget));
        EXPECT_THROW(buildInContext(list, 0, context), std::bad_alloc);
        EXPECT_TRUE(context.budget.exceeded());
        // The lists live in a store of their own, beside the heap.
        EXPECT_LE(peakBytes - bytesBefore + context.lists.takenBytes(), budget);
        EXPECT_LT(context.lists.takenBytes(), budget / 64);
    }
    EXPECT_EQ(liveBlocks, before);
    EXPECT_EQ(buildKdTree(&untouched, &list, 0, withBudget(budget)), BuildResult::OverBudget);
    EXPECT_EQ(liveBlocks, before);
    EXPECT_EQ(untouched, reinterpret_cast<KdTree*>(&spheres[0]));
    // A budget that not even the least of any build fits is refused at once.
    EXPECT_EQ(buildKdTree(&untouched, &list, 1, withBudget(std::size_t{4} << 20)),
              BuildResult::InputTooLarge);
    EXPECT_EQ(liveBlocks, before);

    // The cost-driven methods keep them in one leaf, well within the budget.
    for (int32_t method = 1; method <= 2; ++method) {
        KdTree* tree = nullptr;
        ASSERT_EQ(buildKdTree(&tree, &list, method, withBudget(budget)), BuildResult::Built);
        releaseKdTree(tree);
    }

    // One byte short of the least budget a build completes in, it stops at
    // its last charge, the leaves' packed groups after the compile step, and
    // still leaves nothing behind. (Spread out, so that the tree takes more
    // than the least any build of them takes, which is refused at once.)
    std::vector<Sphere> spread;
    for (int i = 0; i < 60; ++i)
        spread.push_back({{float(i % 7), float(i % 5), float(i % 3)}, 0.4f, {}});
    std::vector<PrimitiveRef> spreadRefs = referencesTo(spread);
    const PrimitiveList spreadList{spreadRefs.data(), 60};
    std::size_t lacking = 0;
    std::size_t enough = std::size_t{64} << 20;
    while (enough - lacking > 1) {
        const std::size_t middle = lacking + (enough - lacking) / 2;
        KdTree* tree = nullptr;
        const bool built =
            buildKdTree(&tree, &spreadList, 1, withBudget(middle)) == BuildResult::Built;
        (built ? enough : lacking) = middle;
        releaseKdTree(built ? tree : nullptr);
    }
    const long blocksBefore = liveBlocks;
    EXPECT_EQ(buildKdTree(&untouched, &spreadList, 1, withBudget(lacking)),
              BuildResult::OverBudget);
    EXPECT_EQ(liveBlocks, blocksBefore);
}

// A large tree's packed groups take over the build's list memory, and
// releasing the tree gives it back.
TEST(BuildKdTree, PacksIntoTheListMemoryAndGivesItBack) {
    std::vector<Sphere> spheres;
    for (int i = 0; i < 100000; ++i)
        spheres.push_back({{float(i % 40), float(i / 40 % 40), float(i / 1600)}, 0.3f, {}});
    std::vector<PrimitiveRef> refs = referencesTo(spheres);
    const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};
    KdTree* tree = nullptr;
    buildKdTree(&tree, &list, 0);
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(static_cast<void*>(tree->sphereGroups), tree->groupMemory);
    ASSERT_NE(tree->groupMemory, nullptr);
    // A small tree's groups stay on the heap.
    KdTree* small = nullptr;
    const PrimitiveList few{refs.data(), 600};
    buildKdTree(&small, &few, 0);
    EXPECT_EQ(small->groupMemory, nullptr);
    releaseKdTree(small);

    void* const memory = tree->groupMemory;
    const std::size_t bytes = tree->groupMemoryBytes;
    EXPECT_EQ(msync(memory, bytes, MS_ASYNC), 0);
    releaseKdTree(tree);
    EXPECT_NE(msync(memory, bytes, MS_ASYNC), 0) << "still mapped";
}

// Where the system has no more memory for the lists (no overcommit, say), the
// build fails as an allocation does, wherever its lists have got to.
TEST(BuildKdTree, ListStoreFailureReleasesEverythingMadeSoFar) {
    std::vector<Sphere> spheres(60, Sphere{{1, 2, 3}, 0.5f, {}});
    std::vector<PrimitiveRef> refs = referencesTo(spheres);
    const PrimitiveList list{refs.data(), static_cast<uint32_t>(refs.size())};
    for (const std::size_t limit :
         {std::size_t{1} << 20, std::size_t{4} << 20, std::size_t{9} << 20}) {
        BuildOptions options;
        options.listMemoryLimit = limit;
        const long before = liveBlocks;
        {
            BuildContext context(options);
            EXPECT_THROW(buildInContext(list, 0, context), std::bad_alloc) << limit;
            EXPECT_FALSE(context.budget.exceeded()) << limit;
            // It got as far as the memory went.
            EXPECT_LE(context.lists.takenBytes(), limit);
            EXPECT_GT(context.lists.takenBytes() + (std::size_t{2} << 20), limit / 2) << limit;
        }
        EXPECT_EQ(liveBlocks, before) << limit;
        KdTree* untouched = reinterpret_cast<KdTree*>(&spheres[0]);
        EXPECT_EQ(buildKdTree(&untouched, &list, 0, options), BuildResult::OutOfMemory) << limit;
        EXPECT_EQ(liveBlocks, before) << limit;
        EXPECT_EQ(untouched, reinterpret_cast<KdTree*>(&spheres[0])) << limit;
    }
}

// Under an address-space limit the lists must leave the heap its address
// space and grow as they need, so that a build of any method still stops at
// its budget and not at a failed mapping, and an input too large for any
// method is refused at once. In a child process: the limit stays there.
TEST(BuildKdTree, KeepsToItsBudgetUnderAnAddressSpaceLimit) {
#ifdef ADDRESS_SANITIZED
    GTEST_SKIP() << "the sanitizer's shadow memory needs the address space";
#endif
    const auto limitedBuilds = [] {
        std::vector<Triangle> many;
        std::vector<PrimitiveRef> manyRefs;
        for (int i = 0; i < 1200000; ++i) {
            const Vector3 a{float(i % 97), float(i / 97 % 101), float(i / 9797)};
            many.push_back({a, {a.x + 0.9f, a.y, a.z}, {a.x, a.y + 0.9f, a.z + 0.5f}, {}});
        }
        for (Triangle& t : many)
            manyRefs.push_back({&t, PrimitiveType::Triangle});
        unsigned long long mappedPages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%llu", &mappedPages) != 1)
                mappedPages = 0;
            std::fclose(statm);
        }
        const rlim_t limit = mappedPages * sysconf(_SC_PAGESIZE) + (rlim_t{320} << 20);
        const rlimit bound{limit, limit};
        if (mappedPages == 0 || setrlimit(RLIMIT_AS, &bound) != 0)
            std::_Exit(3);
        // The cost methods' working storage near the budget, which address
        // space the lists reserved ahead would have cut short.
        KdTree* tree = nullptr;
        const PrimitiveList most{manyRefs.data(), 850000};
        for (const int32_t method : {1, 2}) {
            const BuildResult result = buildKdTree(&tree, &most, method, BuildOptions{});
            if (result == BuildResult::Built)
                releaseKdTree(tree);
            else if (result != BuildResult::OverBudget && result != BuildResult::InputTooLarge)
                std::_Exit(6);
        }
        std::vector<Sphere> spheres;
        for (int i = 0; i < 2000; ++i)
            spheres.push_back({{float(i % 13), float(i % 11), float(i % 7)}, 0.3f, {}});
        spheres.resize(2200, Sphere{{1, 2, 3}, 0.5f, {}}); // and 200 on one spot
        std::vector<PrimitiveRef> refs = referencesTo(spheres);
        const PrimitiveList spread{refs.data(), 2000};
        if (buildThrows(&tree, spread, 0))
            std::_Exit(4);
        releaseKdTree(tree);
        const PrimitiveList overlapping{refs.data() + 2000, 200};
        if (buildKdTree(&tree, &overlapping, 0, BuildOptions{}) != BuildResult::OverBudget)
            std::_Exit(5);
        const PrimitiveList all{manyRefs.data(), 1200000};
        std::_Exit(buildKdTree(&tree, &all, 1, BuildOptions{}) == BuildResult::InputTooLarge ? 0
                                                                                             : 7);
    };
    EXPECT_EXIT(limitedBuilds(), ::testing::ExitedWithCode(0), "");
}

namespace {

// The references a midpoint build makes: every node's list, the root's
// included.
uint64_t referencesBelow(const CKdNode& node) {
    uint64_t count = node.primitives.size();
    if (!node.isLeaf)
        count += referencesBelow(*node.left) + referencesBelow(*node.right);
    return count;
}

uint64_t midpointReferences(const PrimitiveList& list) {
    BuildContext context;
    CKdNode root(context);
    loadRoot(root, list);
    growNodeTree(root, 0);
    return referencesBelow(root);
}

} // namespace

// Copies of one triangle fill every cell they touch, so the midpoint split's
// copies are foreseen exactly; spread shapes leave cells unsplit, so the
// foresight bounds them. A build asked to stop ends Cancelled at once, or
// within a node once it runs, and leaves nothing behind.
TEST(BuildKdTree, ForeseesTheMidpointCopiesAndStopsWhenAsked) {
    // Flat, so that each touches fewer cells than the foresight counts.
    std::vector<Triangle> copies(120, Triangle{{0, 0, 0}, {3, 1, 0}, {1, 2, 0}, {}});
    std::vector<PrimitiveRef> copyRefs;
    for (Triangle& t : copies)
        copyRefs.push_back({&t, PrimitiveType::Triangle});
    const PrimitiveList copyList{copyRefs.data(), 120};
    const uint64_t made = midpointReferences(copyList);
    EXPECT_GT(made, 100 * copyList.count);
    EXPECT_EQ(midpointReferencesForeseen(copyList), made);
    std::vector<Sphere> spread;
    for (int i = 0; i < 100; ++i)
        spread.push_back({{float(i % 7), float(i % 5), float(i % 3)}, 0.2f + (i % 4) * 0.3f, {}});
    std::vector<PrimitiveRef> spreadRefs = referencesTo(spread);
    const PrimitiveList spreadList{spreadRefs.data(), 100};
    EXPECT_GE(midpointReferencesForeseen(spreadList), midpointReferences(spreadList));

    // Overlapping triangles that take seconds to build with the midpoint
    // split, well within the budget.
    std::vector<Triangle> soup;
    uint32_t state = 7;
    const auto next = [&] {
        state = state * 1664525u + 1013904223u;
        return float(state >> 8) / 16777216.0f;
    };
    for (int i = 0; i < 20000; ++i)
        soup.push_back(
            {{next(), next(), next()}, {next(), next(), next()}, {next(), next(), next()}, {}});
    std::vector<PrimitiveRef> soupRefs;
    for (Triangle& t : soup)
        soupRefs.push_back({&t, PrimitiveType::Triangle});
    const PrimitiveList soupList{soupRefs.data(), 20000};
    std::atomic<bool> cancel{true};
    BuildOptions options;
    options.cancel = &cancel;
    KdTree* untouched = reinterpret_cast<KdTree*>(&soup[0]);
    const long before = liveBlocks;
    EXPECT_EQ(buildKdTree(&untouched, &soupList, 0, options), BuildResult::Cancelled);
    EXPECT_EQ(liveBlocks, before);
    cancel = false;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        cancel = true;
    });
    EXPECT_EQ(buildKdTree(&untouched, &soupList, 0, options), BuildResult::Cancelled);
    stopper.join();
    EXPECT_EQ(untouched, reinterpret_cast<KdTree*>(&soup[0]));
    for (int32_t method = 1; method <= 2; ++method)
        EXPECT_EQ(buildKdTree(&untouched, &soupList, method, options), BuildResult::Cancelled);
    EXPECT_EQ(liveBlocks, before);
}
