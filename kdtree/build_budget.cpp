#include "vantrel/kdtree/build_budget.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include <sys/resource.h>
#include <unistd.h>

#include "vantrel/kdtree/memory/budget_account.h"

namespace vantrel {

namespace {

uint64_t physicalBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

struct ProcessMemory {
    uint64_t mapped;   // address space
    uint64_t resident; // physical memory
};

// What the process holds now; zeros when it cannot be read.
ProcessMemory processMemory() {
    ProcessMemory memory{0, 0};
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return memory;
    unsigned long long mapped = 0;
    unsigned long long resident = 0;
    const bool read = std::fscanf(statm, "%llu %llu", &mapped, &resident) == 2;
    std::fclose(statm);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (read && pageSize > 0)
        memory = {mapped * pageSize, resident * pageSize};
    return memory;
}

uint64_t subtractClamped(uint64_t from, uint64_t amount) {
    return from > amount ? from - amount : 0;
}

uint64_t addressSpaceLeft(const ProcessMemory& held) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return subtractClamped(limit.rlim_cur, held.mapped);
    return UINT64_MAX;
}

} // namespace

std::size_t addressSpaceLeft() {
    return static_cast<std::size_t>(
        std::min<uint64_t>(addressSpaceLeft(processMemory()), SIZE_MAX));
}

namespace {

// The heap's own headers and page rounding take at most this share of a
// budget on top of what is charged (the node pool's chunks, up to 2 MiB
// each, cost one page more: 0.2%).
constexpr std::size_t heapOverheadShare = 64;

std::size_t lessOverhead(std::size_t bytes) {
    return bytes - bytes / heapOverheadShare;
}

} // namespace

std::size_t buildMemoryBudget() {
    // What the process holds already counts against the half.
    const ProcessMemory held = processMemory();
    uint64_t budget = subtractClamped(physicalBytes() / 2, held.resident);
    budget = std::min(budget, addressSpaceLeft(held));
    return static_cast<std::size_t>(std::min<uint64_t>(budget, SIZE_MAX));
}

SharedBuildBudget::SharedBuildBudget(std::size_t bytes) : most(lessOverhead(bytes)) {}

SharedBuildBudget& processBuildBudget() {
    static SharedBuildBudget budget;
    return budget;
}

void SharedBuildBudget::join() {
    const std::lock_guard<std::mutex> lock(joining);
    // What the machine gives now already counts what the process holds.
    if (builds++ == 0 && machineSized)
        most.store(lessOverhead(buildMemoryBudget()), std::memory_order_relaxed);
}

void SharedBuildBudget::leave(std::size_t bytes) {
    granted.fetch_sub(bytes, std::memory_order_relaxed);
    const std::lock_guard<std::mutex> lock(joining);
    --builds;
}

bool SharedBuildBudget::take(std::size_t bytes) {
    const std::size_t limit = most.load(std::memory_order_relaxed);
    std::size_t now = granted.load(std::memory_order_relaxed);
    do {
        if (bytes > limit || now > limit - bytes)
            return false;
    } while (!granted.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
    return true;
}

} // namespace vantrel
