// The memory builds may take. A kd-tree build references a primitive from
// every node whose box it touches, down to the leaves, so primitives that
// overlap can ask for far more than the machine has; every build, of a
// kd-tree or of the queries' hierarchy, counts what it is about to take and
// stops before it would pass its budget (kdtree/build.h says how that ends).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vantrel {

// Bytes the machine gives the builds of this process: the least of half the
// physical memory less what the process holds, what its memory cgroup's
// limit leaves, and what its address-space limit leaves
// (processMemoryLeft in vantrel/scene/memory_left.h).
std::size_t buildMemoryBudget();

// Memory that builds running at the same time draw on together: what they
// take stays within its bytes, and a build that would pass them stops there.
// Every build draws on the process's own (processBuildBudget()) unless its
// options name another; a program that wants some of its builds kept within
// a figure of its own makes one for them. Safe to share between threads;
// must outlive the builds that draw on it.
class SharedBuildBudget {
  public:
    explicit SharedBuildBudget(std::size_t bytes);
    SharedBuildBudget(const SharedBuildBudget&) = delete;
    SharedBuildBudget& operator=(const SharedBuildBudget&) = delete;

    // Bytes that the builds drawing on it now hold between them.
    std::size_t taken() const { return granted.load(std::memory_order_relaxed); }
    std::size_t limit() const { return most.load(std::memory_order_relaxed); }

  private:
    friend class BudgetAccount;
    friend SharedBuildBudget& processBuildBudget();
    SharedBuildBudget() : machineSized(true) {}
    // In the child of a fork() the builds of the parent's other threads
    // never end: what they drew is given back, and the lock made anew.
    static void forgetParentsBuilds();

    void join();
    void leave(std::size_t bytes);
    bool take(std::size_t bytes);

    std::mutex joining;              // orders the builds' start and end
    uint32_t builds = 0;             // drawing on it now
    const bool machineSized = false; // sized anew as the first of a quiet moment starts
    std::atomic<std::size_t> most{0};
    std::atomic<std::size_t> granted{0};
};

// The process's own: buildMemoryBudget() when the first of the builds running
// together started.
SharedBuildBudget& processBuildBudget();

} // namespace vantrel
