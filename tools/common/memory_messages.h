// The tools against the memory the process may take: how many demo spheres
// a machine can take, and what to say when a build passes its budget or an
// allocation fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vantrel/scene/memory_left.h"

namespace vantrel {

// Peak memory of a demo-sphere run, per sphere: measured 2.2 KiB with the
// midpoint split from 250,000 to 2,000,000 spheres (1.4 KiB with the
// cost-driven ones), with room to spare.
constexpr uint64_t benchBytesPerSphere = 2560;

// False, with one line in error, when count spheres need more than budget.
bool sphereCountFits(uint32_t count, std::size_t budget, std::string& error);

// What happened and what to try, for a build that stopped at the machine's
// budget, and for one refused at once because no method could build it.
std::string budgetExceededMessage(const MemoryLeft& left);
std::string inputTooLargeMessage(const MemoryLeft& left);

// "out of memory", with what the process had left and which limit set it.
std::string outOfMemoryMessage();

// For a width x height frame that needs bytes, more than left.
std::string frameTooLargeMessage(uint32_t width, uint32_t height, uint64_t bytes,
                                 const MemoryLeft& left);

// queryCoordinateLimit, as a user reads it.
std::string queryRangeText();

} // namespace vantrel
