// Threads created once that work through batches of items together: the
// tiles of a frame, or any other work that traces. Each thread has a trace
// context of its own, handed to every item it runs.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "vantrel/tracer/trace_context.h"

namespace vantrel {

class WorkerPool {
  public:
    // threads: how many threads work on a batch, the one that runs it
    // included; 0 for one per core the machine has. Where the system gives
    // fewer threads than asked for, the pool works with those it got.
    //
    // In the child of a fork() only the thread that forked goes on, so a
    // pool made before it has no workers there: its next batch starts new
    // ones, and the child may use it (or make pools of its own) as any
    // process does.
    explicit WorkerPool(uint32_t threads = 0);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    uint32_t threadCount() const { return static_cast<uint32_t>(contexts.size()); }

    // The context of thread (0 is the one that runs a batch), for reading
    // what its items left there.
    TraceContext& context(uint32_t thread) { return *contexts[thread]; }

    // Calls work(item, context) once for every item from 0 to count - 1, on
    // every thread of the pool, the calling one included. Items are handed
    // out one at a time in increasing order as threads come free, so uneven
    // items balance. Returns when every item is done, with the rays that the
    // contexts counted added to their trees. Work must not throw. Batches
    // from several threads at once run one after the other.
    template <class Work> void run(uint32_t count, Work&& work) {
        runBatch(count, &callWork<std::remove_reference_t<Work>>, &work);
    }

    // Calls work(first, end, context) for runs [first, end) of at most
    // runLength consecutive indices that cover 0 to count - 1 once, so that
    // a thread takes the shared counter once a run rather than once an index.
    template <class Work> void runRanges(size_t count, size_t runLength, Work&& work) {
        const size_t runs = (count + runLength - 1) / runLength;
        run(static_cast<uint32_t>(runs), [&](uint32_t item, TraceContext& context) {
            const size_t first = size_t{item} * runLength;
            work(first, std::min(count, first + runLength), context);
        });
    }

    // Calls work(index, context) for every index from 0 to count - 1, in
    // runs as runRanges hands them out.
    template <class Work> void runEach(size_t count, size_t runLength, Work&& work) {
        runRanges(count, runLength, [&](size_t first, size_t end, TraceContext& context) {
            for (size_t i = first; i < end; ++i)
                work(i, context);
        });
    }

  private:
    using Item = void (*)(void* work, uint32_t item, TraceContext& context);

    template <class Work> static void callWork(void* work, uint32_t item, TraceContext& context) {
        (*static_cast<Work*>(work))(item, context);
    }

    void runBatch(uint32_t count, Item item, void* work);
    // An item that throws ends the program here: its batch could not finish.
    void workOnBatch(TraceContext& context) noexcept;
    // seen: the batches started before the worker, which it does not take.
    void serve(TraceContext* context, uint64_t seen);
    // A worker for every context but the first that has none; where the
    // system gives no more threads, the pool works with those it has.
    void startWorkers();
    // In a forked child, before anything else runs there: the workers and
    // whoever held the locks are gone. The workers are dropped unjoined and
    // the locks made anew.
    void dropWorkersAfterFork();
    static void afterForkInChild();

    std::vector<std::unique_ptr<TraceContext>> contexts;
    std::vector<std::thread> workers;

    std::mutex batchOrder; // one batch at a time
    std::mutex state;      // what follows, but the item counter
    std::condition_variable started;
    std::condition_variable finished;
    // Changed under state; read without it too, by a thread that waits a
    // moment before it sleeps.
    std::atomic<uint64_t> batch{0};   // how many batches have started
    std::atomic<uint32_t> working{0}; // workers still on the current batch
    bool stopping = false;
    // Whether a waiting thread checks a moment before it sleeps: where the
    // threads have a core each. Set before the workers start.
    bool spinWhileWaiting = false;
    Item batchItem = nullptr;
    void* batchWork = nullptr;
    uint32_t batchCount = 0;
    // The process's pools, linked for fork().
    WorkerPool* previousPool = nullptr;
    WorkerPool* nextPool = nullptr;

    // The one line every thread writes during a batch: once per item. On a
    // line of its own, since the object's size is a multiple of its
    // alignment.
    alignas(64) std::atomic<uint64_t> nextItem{0};
};

} // namespace vantrel
