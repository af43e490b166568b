#include "tools/common/memory_messages.h"

#include <cstdio>

#include "vantrel/tracer/query.h"

namespace vantrel {

namespace {

std::string gibibytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GiB", static_cast<double>(bytes) / (1u << 30));
    return text;
}

} // namespace

bool sphereCountFits(uint32_t count, std::size_t budget, std::string& error) {
    const uint64_t needed = uint64_t{count} * benchBytesPerSphere;
    if (needed <= budget)
        return true;
    char line[256];
    std::snprintf(line, sizeof line,
                  "--spheres %u needs about %s (%.1f KiB a sphere); this machine gives a build "
                  "%s, enough for %llu spheres",
                  count, gibibytes(needed).c_str(), benchBytesPerSphere / 1024.0,
                  gibibytes(budget).c_str(),
                  static_cast<unsigned long long>(budget / benchBytesPerSphere));
    error = line;
    return false;
}

std::string budgetExceededMessage(const MemoryLeft& left) {
    return "the kd-tree build would take more than the " + gibibytes(left.bytes) +
           " this machine gives it (" + describeMemoryBound(left.bound) +
           " leaves no more), and was stopped; try another --method (1 and 2 keep "
           "overlapping primitives together) or fewer primitives";
}

std::string inputTooLargeMessage(const MemoryLeft& left) {
    return "no --method can build a tree of this many primitives within the " +
           gibibytes(left.bytes) + " this machine gives it (" + describeMemoryBound(left.bound) +
           " leaves no more): even the least a build of them takes is more; try fewer "
           "primitives";
}

std::string frameTooLargeMessage(uint32_t width, uint32_t height, uint64_t bytes,
                                 const MemoryLeft& left) {
    return "a " + std::to_string(width) + "x" + std::to_string(height) + " frame takes about " +
           gibibytes(bytes) + " (its pixels and a ray for each), more than the " +
           gibibytes(left.bytes) + " left to this process (" + describeMemoryBound(left.bound) +
           "); try a smaller --size";
}

std::string queryRangeText() {
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", double{queryCoordinateLimit});
    return text;
}

std::string outOfMemoryMessage() {
    const MemoryLeft left = processMemoryLeft();
    return "out of memory (" + gibibytes(left.bytes) +
           " left to this process: " + describeMemoryBound(left.bound) + ")";
}

} // namespace vantrel
