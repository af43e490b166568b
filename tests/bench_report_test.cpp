#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/bench/bench_report.h"

using namespace vantrel;

namespace {

BenchResult sampleResult() {
    BenchResult result{};
    result.buildMs = 1234.5;
    result.tree = {120001, 60001, 2345, 987654, 57, 20};
    result.frames = 25;
    result.renderSeconds = 2.5;
    result.rays = 25ull * 512 * 384;
    result.peakRssMib = 321.25;
    return result;
}

// The value after "key": in a flat JSON object of numbers.
bool jsonNumber(const std::string& json, const std::string& key, double& value) {
    const std::string quoted = "\"" + key + "\":";
    const size_t at = json.find(quoted);
    return at != std::string::npos &&
           std::sscanf(json.c_str() + at + quoted.size(), "%lf", &value) == 1;
}

} // namespace

TEST(BenchReport, RatesCountRaysAndFramesOverRenderTime) {
    const BenchResult result = sampleResult();
    EXPECT_DOUBLE_EQ(megaRaysPerSecond(result), 25.0 * 512 * 384 / 1e6 / 2.5);
    EXPECT_DOUBLE_EQ(framesPerSecond(result), 10.0);
}

TEST(BenchReport, JsonHoldsExactlyTheAgreedKeysInOrder) {
    const std::string json = formatJson(sampleResult());
    ASSERT_FALSE(json.empty());
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
    EXPECT_EQ(json.find('\n'), std::string::npos);

    const std::vector<std::string> keys = {"build_ms",   "nodes",       "leaves", "empty_leaves",
                                           "references", "max_leaf",    "depth",  "frames",
                                           "render_s",   "mrays_per_s", "fps",    "peak_rss_mb"};
    size_t last = 0;
    for (const std::string& key : keys) {
        const size_t at = json.find("\"" + key + "\":");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GE(at, last) << key << " out of order";
        last = at;
    }
    size_t quotes = 0;
    for (char c : json)
        quotes += c == '"';
    EXPECT_EQ(quotes, 2 * keys.size()) << "no keys besides the agreed ones: " << json;
}

TEST(BenchReport, JsonValuesReadBackAsTheFigures) {
    const BenchResult result = sampleResult();
    const std::string json = formatJson(result);
    const struct {
        const char* key;
        double expected;
    } cases[] = {{"build_ms", 1234.5},   {"nodes", 120001},
                 {"leaves", 60001},      {"empty_leaves", 2345},
                 {"references", 987654}, {"max_leaf", 57},
                 {"depth", 20},          {"frames", 25},
                 {"render_s", 2.5},      {"mrays_per_s", megaRaysPerSecond(result)},
                 {"fps", 10.0},          {"peak_rss_mb", 321.25}};
    for (const auto& c : cases) {
        double value = -1;
        ASSERT_TRUE(jsonNumber(json, c.key, value)) << c.key << " in " << json;
        EXPECT_NEAR(value, c.expected, 0.05 + c.expected * 1e-4) << c.key;
    }
}

// A placeholder renderer or a frame below the clock's resolution takes no
// time at all; the figures must stay valid JSON numbers.
TEST(BenchReport, ZeroRenderTimeGivesZeroRatesNotInfinity) {
    BenchResult result = sampleResult();
    result.renderSeconds = 0.0;
    EXPECT_EQ(megaRaysPerSecond(result), 0.0);
    EXPECT_EQ(framesPerSecond(result), 0.0);
    const std::string json = formatJson(result);
    EXPECT_EQ(json.find("inf"), std::string::npos) << json;
    EXPECT_EQ(json.find("nan"), std::string::npos) << json;
}

TEST(BenchReport, TextNamesEveryFigure) {
    const std::string text = formatText(sampleResult());
    for (const char* figure :
         {"1234.5 ms", "120001 nodes", "60001 leaves", "2345 empty", "depth 20",
          "987654 references", "57 at most", "25 frames", "Mrays/s", "10.00 frames/s", "321.2 MiB"})
        EXPECT_NE(text.find(figure), std::string::npos) << figure << " missing from\n" << text;
    // 987654 references over 60001 - 2345 non-empty leaves.
    EXPECT_NE(text.find("17.13 on average"), std::string::npos) << text;
}
