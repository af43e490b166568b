#include "kdtree/build_budget.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include <sys/resource.h>
#include <unistd.h>

#include "kdtree/kd_node.h"
#include "kdtree/kd_tree.h"
#include "kdtree/pool_allocator.h"

namespace vantrel {

namespace {

// A list entry as the pool hands it out: the reference and two links.
constexpr std::size_t listEntryBytes = sizeof(PrimitiveRef) + 2 * sizeof(void*);
// A node from the general heap, with the heap's own bookkeeping.
constexpr std::size_t nodeBytes = sizeof(CKdNode) + 2 * sizeof(void*);
// Per input entry: the child step's side flags and the plane search's
// candidates, keys, ranks and counts, with room for their vectors' growth.
constexpr std::size_t workingBytesPerEntry = 256;

std::size_t fixedBudget = 0; // 0: the machine's
std::size_t activeBudget = 0;
std::size_t charged = 0;
bool counting = false;
bool exceeded = false;

uint64_t physicalBytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
}

// The address space the process has mapped now; 0 when it cannot be read.
uint64_t mappedBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long long pages = 0;
    const bool read = std::fscanf(statm, "%llu", &pages) == 1;
    std::fclose(statm);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return read && pageSize > 0 ? pages * static_cast<uint64_t>(pageSize) : 0;
}

void charge(uint64_t bytes) {
    if (!counting)
        return;
    if (bytes > activeBudget - charged) {
        exceeded = true;
        throw std::bad_alloc();
    }
    charged += static_cast<std::size_t>(bytes);
}

uint64_t compiledBytes(const CKdNode& node) {
    const uint64_t entry = sizeof(KdTreeNode);
    if (!node.isLeaf)
        return entry + compiledBytes(*node.left) + compiledBytes(*node.right);
    // Every leaf is counted as if it held only spheres, which spares reading
    // the lists; a leaf's groups are the only part that depends on its types.
    const uint64_t count = node.primitives.size();
    const uint64_t groups = (count + sphereGroupLanes - 1) / sphereGroupLanes;
    return entry + sizeof(PrimitiveList) + sizeof(uint32_t) + 2 * sizeof(void*) +
           count * sizeof(PrimitiveRef) + groups * sizeof(SphereGroup);
}

} // namespace

std::size_t buildMemoryBudget() {
    if (fixedBudget != 0)
        return fixedBudget;
    uint64_t budget = physicalBytes() / 2;
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const uint64_t mapped = mappedBytes();
        const uint64_t left = limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0;
        budget = std::min(budget, left);
    }
    return static_cast<std::size_t>(std::min<uint64_t>(budget, SIZE_MAX));
}

void setBuildMemoryBudget(std::size_t bytes) {
    fixedBudget = bytes;
}

bool buildExceededBudget() {
    return exceeded;
}

BuildBudgetScope::BuildBudgetScope() {
    // The list pool cuts its chunks ahead of the entries charged.
    const std::size_t budget = buildMemoryBudget();
    activeBudget = budget > maxPoolChunkBytes ? budget - maxPoolChunkBytes : 0;
    charged = 0;
    exceeded = false;
    counting = true;
}

BuildBudgetScope::~BuildBudgetScope() {
    counting = false;
}

void chargeBuildInput(uint32_t entries) {
    charge(uint64_t{entries} * (listEntryBytes + workingBytesPerEntry));
}

void chargeChildNodes() {
    charge(2 * nodeBytes);
}

void chargeListEntries(uint64_t entries) {
    charge(entries * listEntryBytes);
}

void chargeCompiledTree(const CKdNode& root) {
    charge(sizeof(KdTree) + compiledBytes(root));
}

} // namespace vantrel
