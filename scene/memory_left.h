// How much more memory this process may take before the machine, its memory
// cgroup or its address-space limit stops it. Anything that sizes itself
// from what a file or a scene asks for weighs that against this first, so
// that a request too large ends with a clear refusal, not with the
// out-of-memory killer or a machine deep in swap.
#pragma once

#include <cstdint>

namespace vantrel {

// Which limit leaves the least.
enum class MemoryBound {
    HalfPhysical, // half the physical memory, less what the process holds
    Cgroup,       // the memory cgroup's limit, less what the cgroup holds
    AddressSpace, // RLIMIT_AS, less the address space already mapped
};

struct MemoryLeft {
    uint64_t bytes;
    MemoryBound bound;
};

// The least of the three limits above, now. The cgroup's limit is the
// smallest of its own and its ancestors' (v1 memory.limit_in_bytes less
// memory.usage_in_bytes, v2 memory.max less memory.current; file pages the
// kernel can drop are not counted as held), found through
// procRoot/self/cgroup below sysRoot/fs/cgroup. Whatever cannot be read
// sets no limit. The roots are parameters so that tests can point them at
// trees of their own.
MemoryLeft processMemoryLeft(const char* procRoot = "/proc", const char* sysRoot = "/sys");

// "half the physical memory", ... for messages.
const char* describeMemoryBound(MemoryBound bound);

} // namespace vantrel
