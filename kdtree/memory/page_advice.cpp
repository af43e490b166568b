#include "vantrel/kdtree/memory/page_advice.h"

#include <cstdint>

#include <algorithm>

#include <sys/mman.h>
#include <unistd.h>

extern "C" char end; // where the program's image ends, set by the linker

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

std::uintptr_t heapBlockBytes(std::uintptr_t bytes) {
    return bytes + 32;
}

void prefaultHeapTop(HeapTopPrefault& prefault, const void* block, std::uintptr_t bytes) {
    const std::uintptr_t from = reinterpret_cast<std::uintptr_t>(block);
    if (from + bytes > prefault.ready) {
        // The heap lies between the program's end and its break.
        const std::uintptr_t programEnd = reinterpret_cast<std::uintptr_t>(&end);
        const std::uintptr_t top = reinterpret_cast<std::uintptr_t>(sbrk(0));
        const std::uintptr_t last = std::min(top, from + prefault.ahead);
        const std::uintptr_t start = std::max(from, prefault.ready);
        if (from >= programEnd && from + bytes <= top && last > start) {
            prefaultPages(reinterpret_cast<void*>(start), last - start);
            prefault.ready = last;
        }
    }
    prefault.ahead -= std::min(prefault.ahead, heapBlockBytes(bytes));
}

} // namespace vantrel
