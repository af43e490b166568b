#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "vantrel/kdtree/memory/block_pool.h"

using namespace vantrel;

TEST(BlockPool, BlocksAreDistinctAndAligned) {
    struct alignas(16) Wide {
        char bytes[24];
    };
    BlockPool pool(sizeof(Wide), alignof(Wide));
    std::vector<void*> blocks;
    std::set<std::uintptr_t> seen;
    // Enough to need several chunks.
    for (int i = 0; i < 5000; ++i) {
        void* block = pool.take();
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(Wide), 0u);
        seen.insert(reinterpret_cast<std::uintptr_t>(block));
        blocks.push_back(block);
    }
    EXPECT_EQ(seen.size(), blocks.size());
    // Neighbouring blocks never overlap.
    std::uintptr_t previous = 0;
    for (std::uintptr_t address : seen) {
        EXPECT_GE(address - previous, sizeof(Wide));
        previous = address;
    }
}
