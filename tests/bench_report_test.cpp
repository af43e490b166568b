#include <cstdio>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "tools/bench/bench_report.h"

using namespace vantrel;

namespace {

BenchResult sampleResult() {
    BenchResult result{};
    result.kernel = "avx2";
    result.threads = 2;
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

TEST(BenchReport, JsonIsOneObjectOfTheAgreedFigures) {
    const std::string json = formatJson(sampleResult());
    ASSERT_FALSE(json.empty());
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
    EXPECT_EQ(json.find('\n'), std::string::npos);

    // 25 frames of 512x384 primary rays in 2.5 s.
    const struct {
        const char* key;
        double expected;
    } cases[] = {{"build_ms", 1234.5},   {"nodes", 120001},
                 {"leaves", 60001},      {"empty_leaves", 2345},
                 {"references", 987654}, {"max_leaf", 57},
                 {"depth", 20},          {"frames", 25},
                 {"render_s", 2.5},      {"mrays_per_s", 1.96608},
                 {"fps", 10.0},          {"peak_rss_mb", 321.25},
                 {"threads", 2}};
    for (const auto& c : cases) {
        double value = -1;
        ASSERT_TRUE(jsonNumber(json, c.key, value)) << c.key << " in " << json;
        EXPECT_NEAR(value, c.expected, 0.05 + c.expected * 1e-4) << c.key;
    }
    EXPECT_EQ(json.find("{\"kernel\":\"avx2\","), 0u) << json;
    size_t quotes = 0;
    for (char c : json)
        quotes += c == '"';
    EXPECT_EQ(quotes, 2 * std::size(cases) + 4) << "no keys besides the agreed ones: " << json;
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
