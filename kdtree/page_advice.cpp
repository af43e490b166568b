#include "vantrel/kdtree/page_advice.h"

#include <cstdint>

#include <sys/mman.h>

namespace vantrel {

namespace {

bool advice = true;

} // namespace

void setHugePageAdvice(bool on) {
    advice = on;
}

bool hugePageAdvice() {
    return advice;
}

void adviseHugePages(void* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
    if (!advice)
        return;
    const std::uintptr_t from = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t first = (from + hugePageBytes - 1) & ~(hugePageBytes - 1);
    const std::uintptr_t last = (from + bytes) & ~(hugePageBytes - 1);
    if (last > first)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

void prefaultPages(void* start, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    const std::uintptr_t from = reinterpret_cast<std::uintptr_t>(start);
    const std::uintptr_t pageSize = 4096;
    const std::uintptr_t first = from & ~(pageSize - 1);
    if (bytes != 0)
        madvise(reinterpret_cast<void*>(first), from + bytes - first, MADV_POPULATE_WRITE);
#else
    (void)start;
    (void)bytes;
#endif
}

} // namespace vantrel
