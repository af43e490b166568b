#include "vantrel/app/clock.h"

#include <chrono>

namespace vantrel {

namespace {

// Taken during static initialisation, before main runs.
const std::chrono::steady_clock::time_point processStart = std::chrono::steady_clock::now();

} // namespace

int32_t clockTicks() {
    const auto elapsed = std::chrono::steady_clock::now() - processStart;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
    // Wraps after about 24 days; callers compare differences, which stay right
    // when taken modulo 2^32.
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

} // namespace vantrel
