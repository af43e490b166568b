#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tools/bench/frame_hash.h"
#include "tools/bench/peak_memory.h"

using namespace vantrel;

namespace {

uint64_t hashText(const char* text) {
    return fnv1a64(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

} // namespace

// Published FNV-1a 64 test vectors: a recorded frame hash stays valid only if
// the function never drifts.
TEST(FrameHash, MatchesTheReferenceVectors) {
    EXPECT_EQ(hashText(""), 0xcbf29ce484222325ull);
    EXPECT_EQ(hashText("a"), 0xaf63dc4c8601ec8cull);
    EXPECT_EQ(hashText("foobar"), 0x85944171f73967e8ull);
}

TEST(FrameHash, CoversEveryPixelByteOfTheTarget) {
    std::vector<uint8_t> pixels(4 * 3 * 3, 0);
    RenderTarget target{4, 3, nullptr, pixels.data()};
    const uint64_t blank = hashFrame(target);
    EXPECT_EQ(blank, fnv1a64(pixels.data(), pixels.size()));

    pixels.back() = 1; // blue of the bottom-right pixel
    const uint64_t lastChanged = hashFrame(target);
    EXPECT_NE(lastChanged, blank);
    pixels.back() = 0;
    pixels.front() = 1;
    EXPECT_NE(hashFrame(target), blank);
    EXPECT_NE(hashFrame(target), lastChanged);
}

TEST(PeakMemory, ParsesTheHighWaterMarkLine) {
    uint64_t kib = 0;
    EXPECT_TRUE(parsePeakResidentKib("Name:\tx\nVmPeak:\t  9000 kB\nVmHWM:\t    4321 kB\n"
                                     "VmRSS:\t 100 kB\n",
                                     kib));
    EXPECT_EQ(kib, 4321u);
    EXPECT_TRUE(parsePeakResidentKib("VmHWM: 17 kB", kib));
    EXPECT_EQ(kib, 17u);
    EXPECT_FALSE(parsePeakResidentKib("Name:\tx\nVmRSS:\t 100 kB\n", kib));
    EXPECT_FALSE(parsePeakResidentKib("VmHWM:\t kB\n", kib));
    EXPECT_FALSE(parsePeakResidentKib("", kib));
    // Only at the start of a line.
    EXPECT_FALSE(parsePeakResidentKib("XVmHWM: 5 kB\n", kib));
}

TEST(PeakMemory, RisesWhenMemoryIsTouched) {
    const double before = peakResidentMib();
    EXPECT_GT(before, 0.0);
    constexpr size_t size = 64u << 20;
    std::vector<uint8_t> block(size);
    std::memset(block.data(), 1, size); // make every page resident
    const double after = peakResidentMib();
    EXPECT_GE(after, before + 48.0) << "before " << before << " MiB";
    EXPECT_EQ(block[size / 2], 1);
}
