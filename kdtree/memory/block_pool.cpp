#include "vantrel/kdtree/memory/block_pool.h"

#include <algorithm>
#include <new>

#include "vantrel/scene/page_advice.h"

namespace vantrel {

namespace {

constexpr std::size_t firstBlocksPerChunk = 1024;
// Pages put in place in one call: far fewer faults than one a page, and
// little memory held ahead of the blocks handed out.
constexpr std::size_t readyStepBytes = std::size_t{64} << 10;

std::size_t roundUp(std::size_t size, std::size_t align) {
    return (size + align - 1) / align * align;
}

} // namespace

BlockPool::BlockPool(std::size_t size, std::size_t align) {
    // Every block keeps the next one aligned, and the chunk's link its block.
    const std::size_t alignment = align > alignof(void*) ? align : alignof(void*);
    blockSize = roundUp(size, alignment);
    headerSize = roundUp(sizeof(void*), alignment);
    blocksPerChunk = firstBlocksPerChunk;
}

BlockPool::~BlockPool() {
    release();
}

void BlockPool::release() noexcept {
    while (chunks != nullptr) {
        void* next = *static_cast<void**>(chunks);
        ::operator delete(chunks);
        chunks = next;
    }
    fresh = ready = chunkEnd = nullptr;
    blocksPerChunk = firstBlocksPerChunk;
}

void BlockPool::prepare() {
    if (fresh == chunkEnd) {
        const std::size_t bytes = headerSize + blocksPerChunk * blockSize;
        char* chunk = static_cast<char*>(::operator new(bytes));
        *reinterpret_cast<void**>(chunk) = chunks;
        chunks = chunk;
        fresh = chunk + headerSize;
        chunkEnd = fresh + blocksPerChunk * blockSize;
        if (bytes * 2 <= maxPoolChunkBytes)
            blocksPerChunk *= 2;
    }
    const std::size_t step = std::max<std::size_t>(1, readyStepBytes / blockSize) * blockSize;
    ready = fresh + std::min(step, static_cast<std::size_t>(chunkEnd - fresh));
    prefaultPages(fresh, static_cast<std::size_t>(ready - fresh));
}

} // namespace vantrel
