// Free-list storage for the build's nodes. A build makes and drops them by the
// hundred thousand; taking them from chunks is much faster than the general
// heap and keeps them close together in memory.
#pragma once

#include <cstddef>

namespace vantrel {

// Chunks grow to this size; a pool takes at most this much ahead of the
// blocks it has handed out.
constexpr std::size_t maxPoolChunkBytes = std::size_t{2} << 20;

// Hands out blocks of one size: given-back blocks first, then fresh ones cut
// in address order from the newest chunk, whose pages are put in place when
// it is added. Chunks are kept while any block is taken and all released
// when the last one comes back, so nothing outlives a build.
// Single-threaded, like the build.
class BlockPool {
  public:
    BlockPool(std::size_t blockSize, std::size_t blockAlign);
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool();

    // In line: a build takes and gives millions of blocks.
    void* take() {
        void* block;
        if (freeBlocks != nullptr) {
            block = freeBlocks;
            freeBlocks = *static_cast<void**>(block);
        } else {
            if (fresh == freshEnd)
                addChunk();
            block = fresh;
            fresh += blockSize;
        }
        ++taken;
        return block;
    }
    void give(void* block) noexcept {
        *static_cast<void**>(block) = freeBlocks;
        freeBlocks = block;
        if (--taken == 0)
            releaseChunks();
    }

  private:
    void addChunk();
    void releaseChunks() noexcept;

    std::size_t blockSize;
    std::size_t headerSize; // chunk link, padded to the block alignment
    std::size_t blocksPerChunk;
    void* freeBlocks = nullptr;
    void* chunks = nullptr;
    char* fresh = nullptr; // next block never handed out
    char* freshEnd = nullptr;
    std::size_t taken = 0;
};

} // namespace vantrel
