#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "vantrel/tracer/scratch_pool.h"

namespace vantrel {
namespace {

constexpr uint32_t header = sizeof(PrimitiveList);
constexpr uint32_t entry = sizeof(PrimitiveRef);

class ScratchPoolTest : public ::testing::Test {
  protected:
    int objects[3] = {1, 2, 3};
    PrimitiveRef refs[3] = {{&objects[0], PrimitiveType::Sphere},
                            {&objects[1], PrimitiveType::Triangle},
                            {&objects[2], static_cast<PrimitiveType>(9)}};
    PrimitiveList source{refs, 3};
    // Non-null, so a refusal must actively store null.
    PrimitiveList* copy = &source;

    void SetUp() override { scratchUsed = 0; }
    void TearDown() override { scratchUsed = 0; }

    static bool alignedInPool(const void* p) {
        const auto* byte = static_cast<const unsigned char*>(p);
        return byte >= scratchPool && byte < scratchPool + scratchPoolSize &&
               reinterpret_cast<uintptr_t>(p) % alignof(PrimitiveRef) == 0;
    }
};

TEST_F(ScratchPoolTest, CopiesHeaderThenEntriesInOrder) {
    scratchUsed = 64;
    copyListToScratch(&copy, source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(copy), scratchPool + 64);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(copy->items), scratchPool + 64 + header);
    EXPECT_EQ(scratchUsed, 64 + header + 3 * entry);
    ASSERT_EQ(copy->count, 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(copy->items[i].object, &objects[i]);
        EXPECT_EQ(copy->items[i].type, refs[i].type);
    }

    // The copy is independent of its source, and a second copy follows it.
    refs[0].object = nullptr;
    EXPECT_EQ(copy->items[0].object, &objects[0]);
    PrimitiveList* second = nullptr;
    copyListToScratch(&second, source);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(second), scratchPool + 64 + header + 3 * entry);
}

TEST_F(ScratchPoolTest, EmptyListTakesOnlyAHeader) {
    copyListToScratch(&copy, PrimitiveList{nullptr, 0});
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->count, 0u);
    EXPECT_EQ(scratchUsed, header);
}

TEST_F(ScratchPoolTest, UnalignedFillMarkIsRoundedUp) {
    scratchUsed = 13;
    copyListToScratch(&copy, source);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(alignedInPool(copy));
    EXPECT_TRUE(alignedInPool(copy->items));
    EXPECT_EQ(reinterpret_cast<unsigned char*>(copy), scratchPool + 16);
    EXPECT_EQ(scratchUsed, 16 + header + 3 * entry);
}

TEST_F(ScratchPoolTest, CopyEndingExactlyAtTheEndFits) {
    scratchUsed = scratchPoolSize - (header + 3 * entry);
    copyListToScratch(&copy, source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(scratchUsed, scratchPoolSize);
    EXPECT_EQ(copy->items[2].object, &objects[2]);

    // Padding counts: one byte past the last aligned header slot, a bare
    // header still fits once rounded up, and nothing more.
    scratchUsed = scratchPoolSize - header - 1;
    copyListToScratch(&copy, PrimitiveList{nullptr, 0});
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(scratchUsed, scratchPoolSize);
}

TEST_F(ScratchPoolTest, CopyThatDoesNotFitIsRefusedAndTouchesNothing) {
    const uint32_t tail = 64;
    std::memset(scratchPool + scratchPoolSize - tail, 0x5A, tail);
    unsigned char before[tail];
    std::memcpy(before, scratchPool + scratchPoolSize - tail, tail);

    const uint32_t starts[] = {scratchPoolSize - (header + 3 * entry) + 8, // one word short
                               scratchPoolSize - header - 1, scratchPoolSize, scratchPoolSize + 100,
                               UINT32_MAX};
    for (uint32_t start : starts) {
        scratchUsed = start;
        copy = &source;
        copyListToScratch(&copy, source);
        EXPECT_EQ(copy, nullptr) << "start " << start;
        EXPECT_EQ(scratchUsed, start);
    }
    EXPECT_EQ(std::memcmp(before, scratchPool + scratchPoolSize - tail, tail), 0);
}

TEST_F(ScratchPoolTest, HugeCountIsRefusedWithoutReadingEntries) {
    // 2^28 entries of 16 bytes would wrap a 32-bit size to 0; the items
    // pointer is null, so any attempt to copy would crash.
    for (uint32_t count : {1u << 28, UINT32_MAX, scratchPoolSize / entry}) {
        copy = &source;
        copyListToScratch(&copy, PrimitiveList{nullptr, count});
        EXPECT_EQ(copy, nullptr) << "count " << count;
        EXPECT_EQ(scratchUsed, 0u);
    }
}

} // namespace
} // namespace vantrel
