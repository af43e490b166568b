#include "kdtree/pool_allocator.h"

#include <new>

namespace vantrel {

namespace {

constexpr std::size_t maxBlocksPerChunk = 64 * 1024;

std::size_t roundUp(std::size_t size, std::size_t align) {
    return (size + align - 1) / align * align;
}

void*& link(void* block) {
    return *static_cast<void**>(block);
}

} // namespace

BlockPool::BlockPool(std::size_t size, std::size_t align) {
    // Every block must hold the free-list link and keep the next one aligned.
    const std::size_t alignment = align > alignof(void*) ? align : alignof(void*);
    blockSize = roundUp(size > sizeof(void*) ? size : sizeof(void*), alignment);
    headerSize = roundUp(sizeof(void*), alignment);
}

BlockPool::~BlockPool() {
    releaseChunks();
}

void* BlockPool::take() {
    if (freeBlocks == nullptr)
        addChunk();
    void* block = freeBlocks;
    freeBlocks = link(block);
    ++taken;
    return block;
}

void BlockPool::give(void* block) noexcept {
    link(block) = freeBlocks;
    freeBlocks = block;
    if (--taken == 0)
        releaseChunks();
}

void BlockPool::addChunk() {
    char* chunk = static_cast<char*>(::operator new(headerSize + blocksPerChunk * blockSize));
    link(chunk) = chunks;
    chunks = chunk;
    // Thread the new blocks in address order, so a list filled in one go lies
    // together in memory.
    char* first = chunk + headerSize;
    for (std::size_t i = 0; i + 1 < blocksPerChunk; ++i)
        link(first + i * blockSize) = first + (i + 1) * blockSize;
    link(first + (blocksPerChunk - 1) * blockSize) = freeBlocks;
    freeBlocks = first;
    if (blocksPerChunk < maxBlocksPerChunk)
        blocksPerChunk *= 2;
}

void BlockPool::releaseChunks() noexcept {
    while (chunks != nullptr) {
        void* next = link(chunks);
        ::operator delete(chunks);
        chunks = next;
    }
    freeBlocks = nullptr;
    blocksPerChunk = 1024;
}

} // namespace vantrel
