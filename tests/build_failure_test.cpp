// Replaces the global allocator to fail the n-th allocation of a build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "kdtree/build.h"

using namespace vantrel;

namespace {

long liveBlocks = 0;
long allocationsLeft = -1; // negative: never fail
long allocationsMade = 0;

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
    return block;
}

void release(void* block) {
    if (block == nullptr)
        return;
    --liveBlocks;
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

TEST(BuildKdTree, AllocationFailureReleasesEverythingMadeSoFar) {
    std::vector<Sphere> spheres;
    for (int i = 0; i < 40; ++i)
        spheres.push_back({{float(i % 7), float(i % 5), float(i % 3)}, 0.4f, {}});
    std::vector<PrimitiveRef> refs;
    for (Sphere& s : spheres)
        refs.push_back({&s, PrimitiveType::Sphere});
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
        bool thrown = false;
        try {
            buildKdTree(&untouched, &list, 0);
        } catch (const std::bad_alloc&) {
            thrown = true;
        }
        allocationsLeft = -1;
        ASSERT_TRUE(thrown) << "allocation " << failAt;
        ASSERT_EQ(liveBlocks, before) << "allocation " << failAt;
        ASSERT_EQ(untouched, reinterpret_cast<KdTree*>(&spheres[0])) << "allocation " << failAt;
    }
}
