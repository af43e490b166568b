#include "vantrel/scene/build_budget.h"

#include <algorithm>
#include <cstdint>

#include <new>

#include <pthread.h>
#include <sys/resource.h>

#include "vantrel/scene/budget_account.h"
#include "vantrel/scene/memory_left.h"

namespace vantrel {

bool addressSpaceLimited() {
    rlimit limit{};
    return getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
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
    return static_cast<std::size_t>(std::min<uint64_t>(processMemoryLeft().bytes, SIZE_MAX));
}

SharedBuildBudget::SharedBuildBudget(std::size_t bytes) : most(lessOverhead(bytes)) {}

SharedBuildBudget& processBuildBudget() {
    static SharedBuildBudget budget;
    static const bool forkHandled =
        pthread_atfork(nullptr, nullptr, &SharedBuildBudget::forgetParentsBuilds) == 0;
    (void)forkHandled;
    return budget;
}

void SharedBuildBudget::forgetParentsBuilds() {
    SharedBuildBudget& budget = processBuildBudget();
    new (&budget.joining) std::mutex();
    budget.builds = 0;
    budget.granted.store(0, std::memory_order_relaxed);
}

void SharedBuildBudget::join() {
    const std::lock_guard<std::mutex> lock(joining);
    // What the machine gives now already counts what the process holds.
    // Counted only once it is read, which may fail.
    if (builds == 0 && machineSized)
        most.store(lessOverhead(buildMemoryBudget()), std::memory_order_relaxed);
    ++builds;
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
