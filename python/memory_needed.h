// Memory a call is about to take, weighed first against what the process
// may still take (half the machine, its memory cgroup, its address-space
// limit), so that a request too large ends in a MemoryError that gives the
// figures, not in the out-of-memory killer or a machine deep in swap.
#pragma once

#include <cstddef>
#include <string>

namespace vantrel {

// Below this a call takes what it needs without asking: reading the limits
// costs more than such a call.
constexpr std::size_t memoryWorthChecking = std::size_t{64} << 20;

// Raises MemoryError, naming what (as "rendering 512x384: the image and its
// rays"), the bytes and the limit, where bytes would pass what is left.
void requireMemory(std::size_t bytes, const std::string& what);

// Makes a failed allocation's MemoryError say what the process had left,
// and which limit set it, where pybind11 says only "std::bad_alloc".
void explainFailedAllocations();

} // namespace vantrel
