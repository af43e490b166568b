#include "tools/bench/bench_report.h"

#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vantrel {

namespace {

double perSecond(double amount, double seconds) {
    const double rate = seconds > 0.0 ? amount / seconds : 0.0;
    return std::isfinite(rate) ? rate : 0.0;
}

// JSON has no inf or nan.
double finite(double value) {
    return std::isfinite(value) ? value : 0.0;
}

void append(std::string& out, const char* format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    out += line;
}

} // namespace

double megaRaysPerSecond(const BenchResult& result) {
    return perSecond(static_cast<double>(result.rays) / 1e6, result.renderSeconds);
}

double framesPerSecond(const BenchResult& result) {
    return perSecond(result.frames, result.renderSeconds);
}

std::string formatJson(const BenchResult& result) {
    const TreeStats& tree = result.tree;
    std::string out;
    append(out, "{\"kernel\":\"%s\",", result.kernel != nullptr ? result.kernel : "");
    append(out, "\"threads\":%" PRIu32 ",", result.threads);
    append(out, "\"build_ms\":%.3f,", finite(result.buildMs));
    if (result.hierarchy)
        append(out, "\"bytes_per_primitive\":%.1f,", finite(result.bytesPerPrimitive));
    append(out, "\"nodes\":%" PRIu64 ",\"leaves\":%" PRIu64 ",\"empty_leaves\":%" PRIu64 ",",
           tree.nodes, tree.leaves, tree.emptyLeaves);
    append(out, "\"references\":%" PRIu64 ",\"max_leaf\":%" PRIu32 ",\"depth\":%" PRIu32 ",",
           tree.references, tree.maxLeaf, tree.depth);
    append(out, "\"frames\":%" PRIu32 ",\"render_s\":%.6f,", result.frames,
           finite(result.renderSeconds));
    append(out, "\"mrays_per_s\":%.4f,\"fps\":%.4f,\"peak_rss_mb\":%.1f", megaRaysPerSecond(result),
           framesPerSecond(result), finite(result.peakRssMib));
    if (!result.settingsJson.empty())
        out += "," + result.settingsJson;
    return out + "}";
}

std::string formatText(const BenchResult& result) {
    const TreeStats& tree = result.tree;
    std::string out;
    if (result.hierarchy) {
        append(out, "hierarchy build: %.1f ms\n", result.buildMs);
        append(out, "hierarchy:      %.1f bytes a primitive\n", result.bytesPerPrimitive);
    } else {
        append(out, "kd-tree build:  %.1f ms\n", result.buildMs);
        append(out,
               "kd-tree:        %" PRIu64 " nodes, %" PRIu64 " leaves (%" PRIu64
               " empty), depth %" PRIu32 "\n",
               tree.nodes, tree.leaves, tree.emptyLeaves, tree.depth);
        append(out,
               "leaf contents:  %" PRIu64 " references, %.2f on average and %" PRIu32
               " at most per non-empty leaf\n",
               tree.references, averageLeafReferences(tree), tree.maxLeaf);
    }
    append(out, "render:         %" PRIu32 " %s in %.3f s, %" PRIu64 " rays\n", result.frames,
           result.frames == 1 ? "frame" : "frames", result.renderSeconds, result.rays);
    append(out, "speed:          %.2f Mrays/s, %.2f frames/s (%s kernel, %" PRIu32 " %s)\n",
           megaRaysPerSecond(result), framesPerSecond(result),
           result.kernel != nullptr ? result.kernel : "?", result.threads,
           result.threads == 1 ? "thread" : "threads");
    append(out, "peak memory:    %.1f MiB\n", result.peakRssMib);
    return out;
}

} // namespace vantrel
