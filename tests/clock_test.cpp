#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "vantrel/app/clock.h"

namespace vantrel {
namespace {

// Wall time in milliseconds: a sleeping process still sees the clock move
// (processor time would stand still), at 1000 ticks per second.
TEST(ClockTicks, CountsWallMillisecondsWhileAsleep) {
    const int32_t before = clockTicks();
    EXPECT_GE(before, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int32_t elapsed = clockTicks() - before;
    EXPECT_GE(elapsed, 49);
    EXPECT_LT(elapsed, 5000); // generous: a loaded machine may oversleep
}

} // namespace
} // namespace vantrel
