// A hierarchy's work shared out on the threads a caller's options name.
#pragma once

#include <memory>

#include "vantrel/bvh/build_bvh.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

// The threads of options: its pool, or else one made in ownPool where it
// asks for more than one thread; none (the calling thread alone) for one.
BuildThreads poolThreads(const QueryBuildOptions& options, std::unique_ptr<WorkerPool>& ownPool);

} // namespace vantrel
