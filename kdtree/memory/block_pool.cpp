#include "vantrel/kdtree/memory/block_pool.h"

#include <new>

#include "vantrel/kdtree/memory/page_advice.h"

namespace vantrel {

namespace {

constexpr std::size_t firstBlocksPerChunk = 1024;

std::size_t roundUp(std::size_t size, std::size_t align) {
    return (size + align - 1) / align * align;
}

} // namespace

BlockPool::BlockPool(std::size_t size, std::size_t align) {
    // Every block must hold the free-list link and keep the next one aligned.
    const std::size_t alignment = align > alignof(void*) ? align : alignof(void*);
    blockSize = roundUp(size > sizeof(void*) ? size : sizeof(void*), alignment);
    headerSize = roundUp(sizeof(void*), alignment);
    blocksPerChunk = firstBlocksPerChunk;
}

BlockPool::~BlockPool() {
    releaseChunks();
}

void BlockPool::addChunk() {
    const std::size_t bytes = headerSize + blocksPerChunk * blockSize;
    char* chunk = static_cast<char*>(::operator new(bytes));
    // Its blocks are all handed out before the next chunk is cut: its pages
    // come in one call rather than one fault each.
    prefaultPages(chunk, bytes);
    *reinterpret_cast<void**>(chunk) = chunks;
    chunks = chunk;
    fresh = chunk + headerSize;
    freshEnd = fresh + blocksPerChunk * blockSize;
    if (bytes * 2 <= maxPoolChunkBytes)
        blocksPerChunk *= 2;
}

void BlockPool::releaseChunks() noexcept {
    while (chunks != nullptr) {
        void* next = *static_cast<void**>(chunks);
        ::operator delete(chunks);
        chunks = next;
    }
    freeBlocks = nullptr;
    fresh = freshEnd = nullptr;
    blocksPerChunk = firstBlocksPerChunk;
}

} // namespace vantrel
