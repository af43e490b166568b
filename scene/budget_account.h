// The memory one build takes, counted before it is taken: the build charges
// what it is about to take and, before it would pass its budget, ends the way
// an allocation failure does (std::bad_alloc), with everything it made
// released.
//
// Two budgets hold every charge: the build's own, where its options set one,
// and the shared budget that every build running at the same time draws on
// (the process's, unless its options name another).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/scene/build_budget.h"

namespace vantrel {

class BudgetAccount {
  public:
    // ownBudget: bytes this build may take; 0 for none of its own.
    // uncounted: what the build may hold beyond its charges (a chunk cut
    // ahead of what it charged), drawn from the start.
    BudgetAccount(std::size_t ownBudget, SharedBuildBudget& shared, std::size_t uncounted);
    BudgetAccount(const BudgetAccount&) = delete;
    BudgetAccount& operator=(const BudgetAccount&) = delete;
    // Gives back to the shared budget all it drew.
    ~BudgetAccount();

    // Counts bytes about to be taken; throws std::bad_alloc where that would
    // pass either budget, and counts nothing then.
    void charge(uint64_t bytes);

    // Throws std::bad_alloc, and counts nothing, where bytes alone would pass
    // the budgets whatever the builds beside it hold.
    void require(uint64_t bytes);

    // Throws std::bad_alloc as a refused charge does (exceeded()), and counts
    // nothing, where bytes on top of what is charged would pass the budgets.
    void foresee(uint64_t bytes);

    // True once a charge was refused; tooLarge() when require() refused.
    bool exceeded() const { return refused; }
    bool tooLarge() const { return refusedAtOnce; }

    // The most this build could take.
    std::size_t limit() const;

  private:
    [[noreturn]] void refuse();

    SharedBuildBudget& shared;
    const std::size_t uncounted;
    std::size_t ownLimit; // SIZE_MAX without a budget of its own
    std::size_t charged = 0;
    std::size_t drawn; // from the shared budget
    bool refused = false;
    bool refusedAtOnce = false;
};

// Whether the process runs under an address-space limit.
bool addressSpaceLimited();

} // namespace vantrel
