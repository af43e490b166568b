#include "vantrel/scene/budget_account.h"

#include <algorithm>
#include <new>

namespace vantrel {

namespace {

// A build's own budget leaves a share for the heap's headers and page
// rounding, as the shared ones do.
constexpr std::size_t heapOverheadShare = 64;
// The shared budget is drawn on in steps of at least this, so that builds
// running at the same time rarely touch its count.
constexpr std::size_t drawStep = std::size_t{1} << 20;

std::size_t subtractClamped(std::size_t from, std::size_t amount) {
    return from > amount ? from - amount : 0;
}

} // namespace

BudgetAccount::BudgetAccount(std::size_t ownBudget, SharedBuildBudget& sharedBudget,
                             std::size_t uncountedBytes)
    : shared(sharedBudget), uncounted(uncountedBytes),
      ownLimit(ownBudget == 0
                   ? SIZE_MAX
                   : subtractClamped(ownBudget, uncounted + ownBudget / heapOverheadShare)),
      drawn(uncounted) {
    shared.join();
    // Drawn whether or not it fits: a build that cannot fit it stops at its
    // first charge.
    shared.granted.fetch_add(drawn, std::memory_order_relaxed);
}

BudgetAccount::~BudgetAccount() {
    shared.leave(drawn);
}

void BudgetAccount::refuse() {
    refused = true;
    throw std::bad_alloc();
}

void BudgetAccount::charge(uint64_t bytes) {
    if (bytes > ownLimit - charged)
        refuse();
    const std::size_t total = charged + static_cast<std::size_t>(bytes);
    if (total + uncounted > drawn) {
        const std::size_t needed = total + uncounted - drawn;
        const std::size_t step = std::max(needed, drawStep);
        if (shared.take(step))
            drawn += step;
        else if (shared.take(needed))
            drawn += needed;
        else
            refuse();
    }
    charged = total;
}

void BudgetAccount::require(uint64_t bytes) {
    if (bytes > ownLimit || bytes + uncounted > shared.limit()) {
        refusedAtOnce = true;
        refuse();
    }
}

void BudgetAccount::foresee(uint64_t bytes) {
    const std::size_t most = limit();
    const std::size_t held = charged + uncounted;
    if (bytes > most - std::min(most, held))
        refuse();
}

std::size_t BudgetAccount::limit() const {
    return std::min(ownLimit, shared.limit());
}

} // namespace vantrel
