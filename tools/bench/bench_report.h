// The benchmark's figures and their two printed forms.
#pragma once

#include <cstdint>
#include <string>

#include "tools/bench/tree_stats.h"

namespace vantrel {

struct BenchResult {
    const char* kernel; // the name of the tracer's kernel
    uint32_t threads;   // that rendered each frame
    double buildMs;     // the kd-tree's or the hierarchy's build alone
    bool hierarchy;     // frames through the queries' hierarchy; tree is then all 0
    TreeStats tree;
    double bytesPerPrimitive; // the hierarchy's structures; 0 without one
    uint32_t frames;
    double renderSeconds; // time inside renderFrame only
    uint64_t rays;        // rays tested against the tree over all frames
    double peakRssMib;
    // The run's settings as JSON members ("\"method\":0,..."), added to the
    // JSON form after the figures; empty for none.
    std::string settingsJson = {};
};

// Both 0 when nothing was timed, so the output never holds inf or nan.
double megaRaysPerSecond(const BenchResult& result);
double framesPerSecond(const BenchResult& result);

// One line: {"kernel":...,"threads":...,"build_ms":...,"nodes":...,...,"peak_rss_mb":...}
std::string formatJson(const BenchResult& result);

// A few labelled lines for people.
std::string formatText(const BenchResult& result);

} // namespace vantrel
