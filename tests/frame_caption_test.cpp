#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "vantrel/app/frame_caption.h"

namespace vantrel {
namespace {

std::string format(int32_t frames, uint32_t rays) {
    char text[captionBufferSize];
    formatCaption(text, sizeof text, frames, rays);
    return text;
}

TEST(CaptionText, ShowsMillionsOfRaysWithTwoDecimals) {
    EXPECT_EQ(format(12, 2500000), "12fps/2.50Mrays");
    EXPECT_EQ(format(0, 0), "0fps/0.00Mrays");
    EXPECT_EQ(format(60, 1234567), "60fps/1.23Mrays");
}

TEST(CaptionText, FitsTheWidestValues) {
    EXPECT_EQ(format(INT32_MIN, UINT32_MAX), "-2147483648fps/4294.97Mrays");
    EXPECT_EQ(format(INT32_MAX, UINT32_MAX), "2147483647fps/4294.97Mrays");
}

TEST(CaptionDue, NeedsStrictlyMoreThanOneThousandTicks) {
    EXPECT_FALSE(captionDue(1000, 0));
    EXPECT_TRUE(captionDue(1001, 0));
    EXPECT_FALSE(captionDue(5999, 5000));
    EXPECT_TRUE(captionDue(6001, 5000));
}

TEST(CaptionDue, SurvivesTheTickCounterWrapping) {
    EXPECT_TRUE(captionDue(INT32_MIN + 500, INT32_MAX - 600));  // 1101 ticks apart
    EXPECT_FALSE(captionDue(INT32_MIN + 300, INT32_MAX - 600)); // 901 ticks apart
}

// A scripted clock: each call returns the next value.
const int32_t* script;
int32_t scriptedClock() {
    return *script++;
}

TEST(CountFrame, UpdatesOnlyAfterTheWindowAndCountsTheUpdatingFrame) {
    const int32_t ticks[] = {0, 400, 1000, 1001, 1003, 2003, 2004, 2010};
    script = ticks;
    KdTree tree{};
    tree.rayCount = 2500000;
    tree.emptyLeafCount = 17;
    char text[captionBufferSize] = "";

    CaptionWindow window;
    startCaptionWindow(window, scriptedClock); // 0
    EXPECT_EQ(window.frameCount, 0);
    EXPECT_FALSE(countFrame(window, scriptedClock, &tree, text, sizeof text)); // 400
    EXPECT_FALSE(countFrame(window, scriptedClock, &tree, text, sizeof text)); // 1000: not yet
    EXPECT_EQ(window.frameCount, 2);
    EXPECT_STREQ(text, "");

    // 1001 is due; the window restarts at a fresh reading, 1003.
    EXPECT_TRUE(countFrame(window, scriptedClock, &tree, text, sizeof text));
    EXPECT_STREQ(text, "3fps/2.50Mrays");
    EXPECT_EQ(window.frameCount, 0);
    EXPECT_EQ(window.lastUpdate, 1003);
    EXPECT_EQ(tree.rayCount, 0u);
    EXPECT_EQ(tree.emptyLeafCount, 0u);

    // From then on the count is the frames rendered since the update.
    tree.rayCount = 40000;
    EXPECT_FALSE(countFrame(window, scriptedClock, &tree, text, sizeof text)); // 2003
    EXPECT_TRUE(countFrame(window, scriptedClock, &tree, text, sizeof text));  // 2004
    EXPECT_STREQ(text, "2fps/0.04Mrays");
    EXPECT_EQ(window.lastUpdate, 2010);
}

TEST(CountFrame, WithoutATreeShowsNoRays) {
    const int32_t ticks[] = {0, 5000, 5000};
    script = ticks;
    char text[captionBufferSize];
    CaptionWindow window;
    startCaptionWindow(window, scriptedClock);
    EXPECT_TRUE(countFrame(window, scriptedClock, nullptr, text, sizeof text));
    EXPECT_STREQ(text, "1fps/0.00Mrays");
}

} // namespace
} // namespace vantrel
