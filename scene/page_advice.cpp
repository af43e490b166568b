// The platform's memory techniques, measured on the development machine
// (a shared 2-core AMD EPYC, Linux with transparent huge pages in "madvise"
// mode, glibc), the method-0 build of the 250,000 demo spheres, medians of
// alternating runs:
// - huge pages on the list store and the packed groups: the system's first
//   touch of a page costs several microseconds, and the build writes about
//   260 MB of list entries; the build runs at about half the time of the
//   same build on 4 KiB pages (VANTREL_BENCH_HUGE_PAGES=0 measures both);
// - putting pages in place a stretch at a time (MADV_POPULATE_WRITE) where
//   they are about to be written: with 4 KiB pages each page otherwise takes
//   a fault of its own; the node pool's chunks took 8,077 -> 5,923 faults;
// - the heap's top put in place ahead of the leaf lists, each a heap block
//   smaller than a page: 411 -> 325 ms with huge pages, 861 -> 797 ms with
//   4 KiB pages. It relies on glibc's main heap lying between the program's
//   image and the break, so it is made only with glibc.
#include "vantrel/scene/page_advice.h"

#include <algorithm>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__GLIBC__)
extern "C" char end; // where the program's image ends, set by the linker
#endif

namespace vantrel {

void adviseHugePages(void* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
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

// A guess at glibc's chunk header and rounding; only the prefault's reach
// depends on it.
std::uintptr_t heapBlockBytes(std::uintptr_t bytes) {
    return bytes + 32;
}

void prefaultHeapTop(HeapTopPrefault& prefault, const void* block, std::uintptr_t bytes) {
#if defined(__GLIBC__)
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
#else
    (void)block;
#endif
    prefault.ahead -= std::min(prefault.ahead, heapBlockBytes(bytes));
}

} // namespace vantrel
