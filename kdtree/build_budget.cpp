#include "vantrel/kdtree/build_budget.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include <sys/resource.h>
#include <unistd.h>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/kdtree/memory/block_pool.h"
#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/kdtree/memory/page_advice.h"
#include "vantrel/kdtree/nodes/kd_node.h"

namespace vantrel {

namespace {

// A list entry in the list store: the reference and two links.
constexpr std::size_t listEntryBytes = sizeof(ListEntry);
// A node from the general heap, with the heap's own bookkeeping.
constexpr std::size_t nodeBytes = sizeof(CKdNode) + 2 * sizeof(void*);
// Per input entry: the child step's side flags and the plane search's
// candidates, keys, ranks and counts, with room for their vectors' growth.
constexpr std::size_t workingBytesPerEntry = 256;
// The heap's headers and page rounding take at most this share of the
// budget on top of what is charged: the node pool's chunks, up to 2 MiB
// each, cost one page more (0.2%).
constexpr std::size_t heapOverheadShare = 64;

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

void charge(uint64_t bytes) {
    if (!counting)
        return;
    if (bytes > activeBudget - charged) {
        exceeded = true;
        throw std::bad_alloc();
    }
    charged += static_cast<std::size_t>(bytes);
}

// All but the packed groups, which are charged once they are counted.
uint64_t compiledBytes(const CKdNode& node) {
    const uint64_t entry = sizeof(KdTreeNode);
    if (!node.isLeaf)
        return entry + compiledBytes(*node.left) + compiledBytes(*node.right);
    return entry + sizeof(PrimitiveList) + sizeof(LeafShapes) + 2 * sizeof(void*) +
           node.primitives.size() * sizeof(PrimitiveRef);
}

} // namespace

namespace {

// What the address-space limit leaves, or UINT64_MAX without one.
uint64_t addressSpaceLeft(const ProcessMemory& held) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        return subtractClamped(limit.rlim_cur, held.mapped);
    return UINT64_MAX;
}

} // namespace

std::size_t buildMemoryBudget() {
    if (fixedBudget != 0)
        return fixedBudget;
    // What the process holds already counts against the half.
    const ProcessMemory held = processMemory();
    uint64_t budget = subtractClamped(physicalBytes() / 2, held.resident);
    budget = std::min(budget, addressSpaceLeft(held));
    return static_cast<std::size_t>(std::min<uint64_t>(budget, SIZE_MAX));
}

std::size_t listStoreReservationBytes() {
    const std::size_t budget = buildMemoryBudget();
    // Address space reserved for the lists is lost to the heap, which must
    // hold the nodes, the working storage and the compiled tree; the store
    // can grow past its reservation.
    const uint64_t left = addressSpaceLeft(processMemory());
    return left == UINT64_MAX ? budget
                              : static_cast<std::size_t>(std::min<uint64_t>(budget, left / 2));
}

void setBuildMemoryBudget(std::size_t bytes) {
    fixedBudget = bytes;
}

bool buildExceededBudget() {
    return exceeded;
}

BuildBudgetScope::BuildBudgetScope() {
    // Not counted one by one: the chunk the node pool cuts ahead of the nodes
    // charged, the list store's page in use, and the heap's own headers and
    // page rounding.
    const std::size_t budget = buildMemoryBudget();
    activeBudget =
        subtractClamped(budget, maxPoolChunkBytes + hugePageBytes + budget / heapOverheadShare);
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

void chargeLeafGroups(uint32_t sphereGroups, uint32_t triangleGroups) {
    charge(uint64_t{sphereGroups} * sizeof(SphereGroup) +
           uint64_t{triangleGroups} * sizeof(TriangleGroup));
}

} // namespace vantrel
