// Everything one build holds: its options, its memory budget, the store its
// node lists live in and the pool its nodes come from. The build driver
// makes one for each build and every step reaches it through the nodes it
// works on; when it goes, everything the build took goes back with it, on
// the out-of-memory path too. Builds that run at the same time have contexts
// of their own and share only the process's memory budget.
#pragma once

#include <cstdint>

#include "vantrel/kdtree/build.h"
#include "vantrel/kdtree/memory/block_pool.h"
#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/scene/budget_account.h"

namespace vantrel {

class CKdNode;

class BuildContext {
  public:
    explicit BuildContext(const BuildOptions& options = BuildOptions{});
    BuildContext(const BuildContext&) = delete;
    BuildContext& operator=(const BuildContext&) = delete;

    // Charges for what the build is about to take, each before it is taken;
    // they throw std::bad_alloc past the budget (BudgetAccount::charge).
    //
    // Refuses at once an input whose least charges, whatever the method,
    // pass the budget: its lists' working storage, and every shape once in a
    // leaf's list and in a packed group.
    void requireRoomFor(const PrimitiveList& list);
    // The root's list and the working storage of the child step and the plane
    // search, which never grows past what the largest list, the root's, needs.
    void chargeBuildInput(uint32_t entries);
    // Working storage that grows past what the input was charged for.
    void chargeWorkingStorage(uint64_t bytes) { budget.charge(bytes); }
    // Two nodes; where the build was asked to stop, stops it instead.
    void chargeChildNodes();
    void chargeListEntries(uint64_t entries);
    // Entries a build foresees taking on top of what it holds: ends it now,
    // as passing the budget does, where they would pass it.
    void foreseeListEntries(uint64_t entries);
    // The compiled tree's arrays, but for the leaves' packed groups, charged
    // once packing has counted them.
    void chargeCompiledTree(const CKdNode& root);
    void chargeLeafGroups(uint32_t sphereGroups, uint32_t triangleGroups);

    const BuildOptions options;
    bool cancelled = false; // stopped at options.cancel
    BudgetAccount budget;   // given back last, once the memory below is
    ListStore lists;
    BlockPool nodes; // every node but the root
};

} // namespace vantrel
