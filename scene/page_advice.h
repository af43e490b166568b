// How the builds' large arrays get their pages. Every technique of the
// platform's memory the builds use lives in page_advice.cpp and nowhere
// else; each is only a hint, and where the platform lacks it, it does
// nothing. A build's results never depend on them, only its speed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

constexpr std::size_t hugePageBytes = std::size_t{2} << 20;

// Asks for transparent huge pages on the whole huge pages inside
// [start, start + bytes).
void adviseHugePages(void* start, std::size_t bytes);

// Puts the pages of [start, start + bytes) in place now, as writing them
// would, but in one call.
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

// Called after each block is allocated: where it reaches past the pages in
// place, puts the heap's top in place in one call, up to the break but not
// past what the blocks still to come take, so that no more memory is held.
// Blocks from elsewhere (mapped on their own, or by another allocator) are
// left alone.
void prefaultHeapTop(HeapTopPrefault& prefault, const void* block, std::uintptr_t bytes);

} // namespace vantrel
