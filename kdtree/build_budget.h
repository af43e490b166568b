// The memory one kd-tree build may take. A primitive is referenced from every
// node whose box it touches, down to the leaves, so primitives that overlap
// can ask for far more than the machine has. The build counts what it is
// about to take and, before it would pass the budget, ends the way an
// allocation failure does: std::bad_alloc, with the node tree released.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

class CKdNode;

// Bytes available to one build: half the physical memory less what the
// process holds already, and no more than its address-space limit leaves; or
// what setBuildMemoryBudget set.
std::size_t buildMemoryBudget();

// Fixes the budget of the builds that follow (for tests); 0 returns to the
// machine's.
void setBuildMemoryBudget(std::size_t bytes);

// True when the latest build ended in std::bad_alloc because it would have
// passed its budget, not because an allocation failed.
bool buildExceededBudget();

// What follows is for the compiler's own parts.

// Starts the count of the build that holds it and fixes its budget; the
// charges below count only while one is held.
struct BuildBudgetScope {
    BuildBudgetScope();
    ~BuildBudgetScope();
    BuildBudgetScope(const BuildBudgetScope&) = delete;
    BuildBudgetScope& operator=(const BuildBudgetScope&) = delete;
};

// The root's list and the working storage of the child step and the plane
// search, which never grows past what the largest list, the root's, needs.
void chargeBuildInput(uint32_t entries);

// Two nodes and the entries put into their lists, before they are allocated.
void chargeChildNodes();
void chargeListEntries(uint64_t entries);

// The compiled tree's arrays, before the compile step allocates them; its
// leaves' packed groups, before they are allocated.
void chargeCompiledTree(const CKdNode& root);
void chargeLeafGroups(uint32_t sphereGroups, uint32_t triangleGroups);

// How much address space the list store reserves at first: what a build may
// take, or half of what the address-space limit leaves where that is less.
std::size_t listStoreReservationBytes();

} // namespace vantrel
