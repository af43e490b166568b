// Where the entries of every node list live: one run of memory addressed by
// 32-bit indices. A build takes millions of entries, keeps them all to its
// end and then drops them all at once, so entries are handed out in index
// order, never reused, and the memory goes back in one piece when the last
// list that holds any is gone.
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

// The program's one store, single-threaded like the build. Read it through
// the functions below; an index stays valid while its list lives, an address
// only until the next entries are taken (the memory may move as it grows).
struct ListStore {
    ListEntry* entries = nullptr;
    uint32_t used = 0;       // entries handed out, from index 0 up
    uint32_t capacity = 0;   // entries that may be written
    uint64_t live = 0;       // entries of lists that still exist
    uint32_t prefaulted = 0; // entries whose pages are in place
};

inline ListStore listStore;

// Makes room for count more entries; throws std::bad_alloc where the memory
// cannot be had.
void growListStore(uint32_t count);

// Puts the pages of the next huge page's worth of entries in place at once.
void prefaultListStore() noexcept;

// Gives all the memory back; the next entries start a new store.
void releaseListStore() noexcept;

// count consecutive fresh entries; returns the first one's index.
inline uint32_t takeListEntries(uint32_t count) {
    if (count > listStore.capacity - listStore.used)
        growListStore(count);
    const uint32_t first = listStore.used;
    listStore.used += count;
    listStore.live += count;
    if (listStore.used > listStore.prefaulted)
        prefaultListStore();
    return first;
}

// Makes sure count entries can be taken without the memory moving.
inline void reserveListEntries(uint32_t count) {
    if (count > listStore.capacity - listStore.used)
        growListStore(count);
}

// The entries of a list that is gone.
inline void giveListEntries(uint32_t count) noexcept {
    if (count != 0 && (listStore.live -= count) == 0)
        releaseListStore();
}

inline ListEntry& listEntry(uint32_t index) {
    return listStore.entries[index];
}

// Returns the address space reserved ahead of the entries taken, so that
// what follows a build's growth (its compile step) has it, under an
// address-space limit.
void trimListStore() noexcept;

// A build packs its compiled tree into the store's memory once the lists
// are gone, so that the pages already in place serve again. While a keeper
// is held, the release of the store keeps its writable memory for
// adoptKeptListStore; what is not adopted goes back when the keeper does.
struct ListStoreKeeper {
    ListStoreKeeper();
    ~ListStoreKeeper();
    ListStoreKeeper(const ListStoreKeeper&) = delete;
    ListStoreKeeper& operator=(const ListStoreKeeper&) = delete;
};

// The first bytes of the kept memory, rounded up to whole huge pages, the
// rest given back at once; null where none is kept, it is too small, or
// bytes are less than a huge page.
// *heldBytes gets what the caller now holds and gives back with
// releaseAdoptedMemory.
void* adoptKeptListStore(std::size_t bytes, std::size_t* heldBytes) noexcept;
void releaseAdoptedMemory(void* memory, std::size_t bytes) noexcept;

// Bytes of entries taken from the store in use, or from the latest one when
// none is.
std::size_t listStorePeakBytes();

// For tests: commits of store memory past this many bytes fail as they do
// when the system has no more memory to give; 0 lifts the limit.
void setListStoreCommitLimit(std::size_t bytes);

} // namespace vantrel
