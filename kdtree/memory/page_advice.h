// How the build's large arrays get their pages. Transparent huge pages, where
// the system hands them out only on request (its "madvise" mode), spare most
// of the page faults of the first touch; where there are none, asking for a
// stretch of pages at once spares the fault of each.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

constexpr std::size_t hugePageBytes = std::size_t{2} << 20;

// On unless turned off; the benchmark turns it off to measure both ways.
void setHugePageAdvice(bool on);
bool hugePageAdvice();

// Asks for huge pages on the whole huge pages inside [start, start + bytes),
// when the advice is on. Only a hint: nothing changes where it is refused.
void adviseHugePages(void* start, std::size_t bytes);

// Puts the pages of [start, start + bytes) in place now, as writing them
// would, but in one call. Only a hint: nothing changes where it is refused.
void prefaultPages(void* start, std::size_t bytes);

// For heap blocks allocated one after another: how far the heap's top has
// its pages in place, and what the blocks still to be allocated take (the
// sum of heapBlockBytes of their sizes).
struct HeapTopPrefault {
    std::uintptr_t ahead = 0;
    std::uintptr_t ready = 0;
};

// What a heap block of bytes takes at most, its header included.
std::uintptr_t heapBlockBytes(std::uintptr_t bytes);

// The heap takes its fresh pages one fault at a time as blocks are cut from
// its top. Called after each block is allocated: where it reaches past the
// pages in place, the heap's top is put in place in one call, up to the
// break but not past what the blocks still to come take, so that no more
// memory is held. Blocks from elsewhere (mapped on their own, or by another
// allocator) are left alone. Only a hint, like prefaultPages.
void prefaultHeapTop(HeapTopPrefault& prefault, const void* block, std::uintptr_t bytes);

} // namespace vantrel
