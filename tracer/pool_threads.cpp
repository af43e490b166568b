#include "vantrel/tracer/pool_threads.h"

namespace vantrel {

BuildThreads poolThreads(const QueryBuildOptions& options, std::unique_ptr<WorkerPool>& ownPool) {
    WorkerPool* pool = options.pool;
    if (!pool && options.threads != 1) {
        ownPool = std::make_unique<WorkerPool>(options.threads);
        pool = ownPool.get();
    }
    if (!pool)
        return {};
    return {pool->threadCount(), pool,
            [](void* on, uint32_t items, void (*work)(void*, uint32_t), void* data) {
                static_cast<WorkerPool*>(on)->run(
                    items, [&](uint32_t item, TraceContext&) { work(data, item); });
            }};
}

} // namespace vantrel
