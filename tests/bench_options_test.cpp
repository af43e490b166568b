#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/bench/bench_options.h"

using namespace vantrel;

namespace {

struct Parsed {
    ParseOutcome outcome;
    BenchOptions options;
    std::string error;
};

Parsed parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "vantrel-bench");
    Parsed parsed{};
    parsed.outcome = parseBenchOptions(static_cast<int>(arguments.size()), arguments.data(),
                                       parsed.options, parsed.error);
    return parsed;
}

void expectRejected(std::vector<const char*> arguments) {
    const Parsed parsed = parse(arguments);
    std::string joined;
    for (const char* argument : arguments)
        joined += std::string(argument) + " ";
    EXPECT_EQ(parsed.outcome, ParseOutcome::Error) << joined;
    EXPECT_FALSE(parsed.error.empty()) << joined;
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos) << "one line only: " << parsed.error;
}

} // namespace

TEST(BenchOptions, NoOptionsRunTheWholeDemoOrbit) {
    const Parsed parsed = parse({});
    ASSERT_EQ(parsed.outcome, ParseOutcome::Run);
    EXPECT_EQ(parsed.options.sphereCount, 250000u);
    EXPECT_EQ(parsed.options.method, 0);
    EXPECT_FALSE(parsed.options.json);
    EXPECT_TRUE(parsed.options.outPath.empty());
    EXPECT_TRUE(parsed.options.meshPath.empty());
    EXPECT_EQ(parsed.options.threads, 1u) << "the window's own renderer";
    ASSERT_EQ(benchFrameCount(parsed.options), 25u);
    EXPECT_EQ(benchFrameClock(parsed.options, 0), 0);
    EXPECT_EQ(benchFrameClock(parsed.options, 1), 2500);
    EXPECT_EQ(benchFrameClock(parsed.options, 24), 60000);
}

TEST(BenchOptions, ValuesAreTakenSeparatelyOrAfterEquals) {
    const Parsed parsed =
        parse({"--spheres", "1000", "--method=2", "--frames", "3", "--json", "--out=frame.PPM"});
    ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
    EXPECT_EQ(parsed.options.sphereCount, 1000u);
    EXPECT_EQ(parsed.options.method, 2);
    EXPECT_TRUE(parsed.options.json);
    EXPECT_EQ(parsed.options.outPath, "frame.PPM");
    EXPECT_EQ(parsed.options.outFormat, ImageFormat::Ppm);
    ASSERT_EQ(benchFrameCount(parsed.options), 3u);
    EXPECT_EQ(benchFrameClock(parsed.options, 2), 5000);

    const Parsed single = parse({"--frame-at", "5000", "--out", "x.png"});
    ASSERT_EQ(single.outcome, ParseOutcome::Run) << single.error;
    ASSERT_EQ(benchFrameCount(single.options), 1u);
    EXPECT_EQ(benchFrameClock(single.options, 0), 5000);
    EXPECT_EQ(single.options.outFormat, ImageFormat::Png);
}

TEST(BenchOptions, BoundaryValuesAreAccepted) {
    EXPECT_EQ(parse({"--spheres", "0"}).options.sphereCount, 0u);
    EXPECT_EQ(parse({"--spheres", "10000000"}).options.sphereCount, 10000000u);
    EXPECT_EQ(parse({"--frames", "1"}).options.frameCount, 1u);
    EXPECT_EQ(parse({"--frames", "25"}).options.frameCount, 25u);
    EXPECT_EQ(parse({"--frame-at", "2147483647"}).options.frameAtMs, 2147483647);
    EXPECT_EQ(parse({"--mesh", "bunny.tri", "--method", "1"}).options.meshPath, "bunny.tri");
    EXPECT_FALSE(parse({"--mesh", "bunny.tri"}).options.meshAsIs);
    EXPECT_TRUE(parse({"--mesh-as-is=bunny.tri"}).options.meshAsIs);
    EXPECT_EQ(parse({"--threads", "0"}).options.threads, 0u);
    EXPECT_EQ(parse({"--threads=1024"}).options.threads, 1024u);
}

TEST(BenchOptions, HelpWinsOverLaterOptions) {
    EXPECT_EQ(parse({"--help"}).outcome, ParseOutcome::Help);
    EXPECT_EQ(parse({"--json", "--help", "--bogus"}).outcome, ParseOutcome::Help);
}

TEST(BenchOptions, BadCommandLinesAreRejectedWithOneLine) {
    expectRejected({"--spheres", "-1"});
    expectRejected({"--spheres", "10000001"});
    expectRejected({"--spheres", "99999999999999999999999"});
    expectRejected({"--spheres", "12x"});
    expectRejected({"--spheres", " 12"});
    expectRejected({"--spheres="});
    expectRejected({"--method", "3"});
    expectRejected({"--frames", "0"});
    expectRejected({"--frames", "26"});
    expectRejected({"--frame-at", "2147483648"});
    expectRejected({"--out", "frame.jpg"});
    expectRejected({"--out", "png"});
    expectRejected({"--mesh="});
    expectRejected({"--mesh-as-is", "a.tri", "--mesh", "b.tri"});
    expectRejected({"--bogus"});
    expectRejected({"-h"});
    expectRejected({"frames"});
    expectRejected({"--method"});
    expectRejected({"--json=yes"});
    expectRejected({"--frames", "2", "--frame-at", "5000"});
    expectRejected({"--spheres", "10", "--mesh", "m.tri"});
    expectRejected({"--threads", "1025"});
    expectRejected({"--threads", "-1"});
    expectRejected({"--threads", "all"});
}
