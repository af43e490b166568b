#include "vantrel/tracer/worker_pool.h"

#include <system_error>

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

} // namespace

WorkerPool::WorkerPool(uint32_t threads) {
    const uint32_t wanted = threads != 0 ? threads : threadsOfMachine();
    for (uint32_t thread = 0; thread < wanted; ++thread)
        contexts.push_back(std::make_unique<TraceContext>());
    workers.reserve(wanted - 1);
    for (uint32_t thread = 1; thread < wanted; ++thread) {
        try {
            workers.emplace_back(&WorkerPool::serve, this, contexts[thread].get());
        } catch (const std::system_error&) {
            // No more threads to be had: work with those there are.
            break;
        }
    }
    contexts.resize(workers.size() + 1);
}

WorkerPool::~WorkerPool() {
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

void WorkerPool::serve(TraceContext* context) {
    uint64_t seen = 0;
    for (;;) {
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
    {
        std::unique_lock<std::mutex> lock(state);
        finished.wait(lock, [&] { return working == 0; });
    }
    addAllRayCounts(contexts);
}

} // namespace vantrel
