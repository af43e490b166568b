// Storage for a build's nodes. A build makes them by the hundred thousand and
// drops them all at its end: cutting them in address order from chunks is
// much faster than the general heap and keeps them close together in memory.
#pragma once

#include <cstddef>

namespace vantrel {

// Chunks grow to this size; a pool takes at most this much ahead of the
// blocks it has handed out, of which its pages are put in place at most a
// step at a time.
constexpr std::size_t maxPoolChunkBytes = std::size_t{2} << 20;

// Hands out blocks of one size, in address order from the newest chunk,
// whose pages are put in place a stretch at a time just before its blocks
// are handed out. Blocks are never given back one by one: every chunk goes
// back with the pool, or when it is released.
class BlockPool {
  public:
    BlockPool(std::size_t blockSize, std::size_t blockAlign);
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;
    ~BlockPool();

    // In line: a build takes millions of blocks.
    void* take() {
        if (fresh == ready)
            prepare();
        void* const block = fresh;
        fresh += blockSize;
        return block;
    }

    std::size_t blockBytes() const { return blockSize; }

    // Gives every chunk back, once no block is in use.
    void release() noexcept;

  private:
    void prepare();

    std::size_t blockSize;
    std::size_t headerSize; // chunk link, padded to the block alignment
    std::size_t blocksPerChunk;
    void* chunks = nullptr;
    char* fresh = nullptr; // next block never handed out
    char* ready = nullptr; // end of the blocks whose pages are in place
    char* chunkEnd = nullptr;
};

} // namespace vantrel
