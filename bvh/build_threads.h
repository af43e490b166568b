// Work of a build shared out on its threads.
#pragma once

#include <cstdint>
#include <type_traits>

#include "vantrel/bvh/build_bvh.h"

namespace vantrel {

// Calls work(item) for every item below items, on the build's threads, and
// returns once all are done. Items must not depend on which thread runs
// them, or when: the build's results are the same on any number.
template <class Work> void runItems(const BuildThreads& threads, uint32_t items, Work&& work) {
    if (threads.run == nullptr || threads.count < 2 || items < 2) {
        for (uint32_t item = 0; item < items; ++item)
            work(item);
        return;
    }
    using Call = std::remove_reference_t<Work>;
    threads.run(
        threads.threads, items,
        [](void* data, uint32_t item) { (*static_cast<Call*>(data))(item); }, &work);
}

} // namespace vantrel
