// Where the entries of one build's node lists live: one run of memory
// addressed by 32-bit indices. A build takes millions of entries, keeps them
// all to its end and then drops them all at once, so entries are handed out
// in index order and never reused, and the memory goes back in one piece
// with the store (or to the compiled tree that adopts it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

constexpr uint32_t noListEntry = 0xffffffffu;

// A reference's two fields without PrimitiveRef's tail padding, and the
// links: a build's memory is mostly these, and a pointer read on a 4-byte
// boundary costs next to nothing.
#pragma pack(push, 4)
struct ListEntry {
    void* object;
    PrimitiveType type;
    uint32_t next; // towards the back; noListEntry at the back
    uint32_t prev; // towards the front; noListEntry at the front

    PrimitiveRef ref() const { return {object, type}; }
    void setRef(const PrimitiveRef& ref) {
        object = ref.object;
        type = ref.type;
    }
};
#pragma pack(pop)

static_assert(sizeof(ListEntry) == 20, "a list entry is a reference and two 32-bit links");

// What a store may ask of the system.
struct ListStoreLimits {
    // Address space reserved at the first entry: no memory until written,
    // and the store grows past it where it must.
    std::size_t reservationBytes;
    // For tests: writable memory past this many bytes is refused, as the
    // system refuses it when it has no more to give; 0 sets no limit.
    std::size_t commitLimit;
    bool hugePages; // asks for transparent huge pages on its memory
};

// An index stays valid while its list lives, an address only until the next
// entries are taken (the memory may move as it grows).
class ListStore {
  public:
    explicit ListStore(const ListStoreLimits& storeLimits) : limits(storeLimits) {}
    ListStore(const ListStore&) = delete;
    ListStore& operator=(const ListStore&) = delete;
    ~ListStore();

    // count consecutive fresh entries; returns the first one's index. Throws
    // std::bad_alloc where the memory cannot be had.
    uint32_t take(uint32_t count) {
        if (count > capacity - used)
            grow(count);
        const uint32_t first = used;
        used += count;
        live += count;
        if (used > prefaulted)
            prefault();
        return first;
    }

    // Makes sure count entries can be taken without the memory moving.
    void reserve(uint32_t count) {
        if (count > capacity - used)
            grow(count);
    }

    // The entries of a list that is gone.
    void give(uint32_t count) noexcept { live -= count; }

    ListEntry& entry(uint32_t index) { return entries[index]; }
    const ListEntry& entry(uint32_t index) const { return entries[index]; }
    const ListEntry* data() const { return entries; }

    // Entries of lists that still exist.
    uint64_t liveEntries() const { return live; }

    // Bytes of entries taken.
    std::size_t takenBytes() const { return std::size_t{used} * sizeof(ListEntry); }

    // Gives back the address space reserved ahead of the entries taken, so
    // that what follows the lists' growth (the compile step) has it, under
    // an address-space limit.
    void trim() noexcept;

    // Once no list is left: the first bytes of the store's writable memory,
    // rounded up to whole huge pages, to be released with releaseListMemory;
    // the rest goes back at once. Null where bytes are less than a huge page
    // or more than the store holds. *heldBytes gets what the caller holds.
    void* adopt(std::size_t bytes, std::size_t* heldBytes) noexcept;

  private:
    void grow(uint32_t count);
    void prefault() noexcept;
    void reserveFirst(std::size_t needed);
    bool commit(std::size_t bytes);
    bool extend(std::size_t bytes);
    bool makeWritable(std::size_t bytes);
    void release() noexcept;

    const ListStoreLimits limits;
    ListEntry* entries = nullptr;
    uint32_t used = 0;              // entries handed out, from index 0 up
    uint32_t capacity = 0;          // entries that may be written
    uint64_t live = 0;              // entries of lists that still exist
    uint32_t prefaulted = 0;        // entries whose pages are in place
    std::size_t reservedBytes = 0;  // of the mapping at entries
    std::size_t committedBytes = 0; // writable from its start
};

// Releases what ListStore::adopt handed out.
void releaseListMemory(void* memory, std::size_t bytes) noexcept;

} // namespace vantrel
