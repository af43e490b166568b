#include "vantrel/tracer/worker_pool.h"

#include <chrono>
#include <new>
#include <system_error>

#include <pthread.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vantrel {

namespace {

uint32_t threadsOfMachine() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? cores : 1;
}

// Adds the rays the contexts counted, once per tree.
void addAllRayCounts(std::vector<std::unique_ptr<TraceContext>>& contexts) {
    for (size_t i = 0; i < contexts.size(); ++i) {
        TraceContext& first = *contexts[i];
        if (first.countedRays == 0)
            continue;
        for (size_t j = i + 1; j < contexts.size(); ++j) {
            TraceContext& other = *contexts[j];
            if (other.countedTree == first.countedTree) {
                first.countedRays += other.countedRays;
                other.countedRays = 0;
            }
        }
        addRayCounts(first);
    }
}

// How long a thread that waits checks before it sleeps. A frame's batch
// follows the last one at once, and a sleeping thread takes a while to wake:
// two threads rendered the human scan 1.09 times as fast, the engine 1.04
// times, with a spin. With more threads than cores a spin takes the core
// from a thread with work (0.93 times as fast with four on two), so then
// none.
constexpr std::chrono::microseconds spinBeforeSleep{100};

// Calls done() until it holds or spinBeforeSleep has passed.
template <class Done> void spinFor(Done done) {
    const auto until = std::chrono::steady_clock::now() + spinBeforeSleep;
    while (!done() && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
        _mm_pause();
#else
        std::this_thread::yield();
#endif
    }
}

// The pools alive, for the fork handlers; held across a fork, so that the
// child finds the list whole.
std::mutex poolsGuard;
WorkerPool* firstPool = nullptr;
std::once_flag forkHandlers;

} // namespace

WorkerPool::WorkerPool(uint32_t threads) {
    const uint32_t wanted = threads != 0 ? threads : threadsOfMachine();
    for (uint32_t thread = 0; thread < wanted; ++thread)
        contexts.push_back(std::make_unique<TraceContext>());
    spinWhileWaiting = wanted <= threadsOfMachine();
    std::call_once(forkHandlers, [] {
        pthread_atfork([] { poolsGuard.lock(); }, [] { poolsGuard.unlock(); },
                       &WorkerPool::afterForkInChild);
    });
    // Started and linked at once: a fork meanwhile finds the pool whole in
    // the list, or not begun.
    const std::lock_guard<std::mutex> lock(poolsGuard);
    startWorkers();
    nextPool = firstPool;
    if (firstPool)
        firstPool->previousPool = this;
    firstPool = this;
}

WorkerPool::~WorkerPool() {
    {
        const std::lock_guard<std::mutex> lock(poolsGuard);
        (previousPool ? previousPool->nextPool : firstPool) = nextPool;
        if (nextPool)
            nextPool->previousPool = previousPool;
    }
    {
        const std::lock_guard<std::mutex> lock(state);
        stopping = true;
    }
    started.notify_all();
    for (std::thread& worker : workers)
        worker.join();
}

void WorkerPool::workOnBatch(TraceContext& context) noexcept {
    for (;;) {
        const uint64_t next = nextItem.fetch_add(1, std::memory_order_relaxed);
        if (next >= batchCount)
            return;
        batchItem(batchWork, static_cast<uint32_t>(next), context);
    }
}

void WorkerPool::startWorkers() {
    workers.reserve(contexts.size() - 1);
    const uint64_t startedBefore = batch.load();
    for (size_t thread = workers.size() + 1; thread < contexts.size(); ++thread) {
        try {
            workers.emplace_back(&WorkerPool::serve, this, contexts[thread].get(), startedBefore);
        } catch (const std::system_error&) {
            // No more threads to be had: work with those there are.
            break;
        }
    }
    contexts.resize(workers.size() + 1);
}

void WorkerPool::dropWorkersAfterFork() {
    // Made anew in place, the old ones never destroyed: their threads do not
    // exist here, to be joined or to let go of a lock they held at the fork.
    new (&workers) std::vector<std::thread>();
    new (&batchOrder) std::mutex();
    new (&state) std::mutex();
    new (&started) std::condition_variable();
    new (&finished) std::condition_variable();
    working = 0;
    stopping = false;
}

void WorkerPool::afterForkInChild() {
    for (WorkerPool* pool = firstPool; pool; pool = pool->nextPool)
        pool->dropWorkersAfterFork();
    poolsGuard.unlock();
}

void WorkerPool::serve(TraceContext* context, uint64_t seen) {
    for (;;) {
        if (spinWhileWaiting)
            spinFor([&] { return batch.load(std::memory_order_acquire) != seen; });
        {
            std::unique_lock<std::mutex> lock(state);
            started.wait(lock, [&] { return stopping || batch != seen; });
            if (stopping)
                return;
            seen = batch;
        }
        workOnBatch(*context);
        const std::lock_guard<std::mutex> lock(state);
        if (--working == 0)
            finished.notify_one();
    }
}

void WorkerPool::runBatch(uint32_t count, Item item, void* work) {
    const std::lock_guard<std::mutex> order(batchOrder);
    if (count == 0)
        return;
    // Workers lost to a fork, or never started.
    if (workers.size() + 1 < contexts.size())
        startWorkers();
    {
        const std::lock_guard<std::mutex> lock(state);
        batchItem = item;
        batchWork = work;
        batchCount = count;
        nextItem.store(0, std::memory_order_relaxed);
        working = static_cast<uint32_t>(workers.size());
        ++batch;
    }
    if (!workers.empty())
        started.notify_all();
    workOnBatch(*contexts[0]);
    if (spinWhileWaiting)
        spinFor([&] { return working.load(std::memory_order_acquire) == 0; });
    {
        std::unique_lock<std::mutex> lock(state);
        finished.wait(lock, [&] { return working == 0; });
    }
    addAllRayCounts(contexts);
}

} // namespace vantrel
