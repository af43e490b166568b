// The store is one address reservation made without access, so that it costs
// neither memory nor, where the system does not overcommit, any of its commit
// charge; it is made writable in steps as entries are taken, and the system
// hands out physical pages only where they are first written. Should the
// reservation run out, the writable part is moved whole to a larger range
// (indices stay valid, addresses do not).
#include "vantrel/kdtree/memory/list_store.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

#include "vantrel/kdtree/build_budget.h"
#include "vantrel/kdtree/memory/page_advice.h"

namespace vantrel {

namespace {

// Below the null index, with one to spare, so that no walk stepping to the
// entry after the last one can land on it.
constexpr uint64_t maxEntries = noListEntry - 1;
constexpr std::size_t entryBytes = sizeof(ListEntry);

std::size_t reservedBytes = 0;  // of the mapping at listStore.entries
std::size_t committedBytes = 0; // writable from its start
std::size_t latestPeakBytes = 0;
std::size_t commitLimit = 0;

bool keepOnRelease = false;
char* kept = nullptr; // a released store's writable memory, while a keeper holds it
std::size_t keptBytes = 0;

void dropKept() noexcept {
    if (kept != nullptr)
        munmap(kept, keptBytes);
    kept = nullptr;
    keptBytes = 0;
}

std::size_t roundUp(std::size_t bytes, std::size_t step) {
    return (bytes + step - 1) / step * step;
}

// As an allocation fails. A store that holds nothing yet goes back at once:
// no list will give entries back to release it.
[[noreturn]] void outOfMemory() {
    if (listStore.live == 0)
        releaseListStore();
    throw std::bad_alloc();
}

bool withinCommitLimit(std::size_t bytes) {
    return commitLimit == 0 || bytes <= commitLimit;
}

// A reservation of bytes (a multiple of the huge page) on a huge-page
// boundary, so that every huge page inside can be backed by one; or null.
char* reserve(std::size_t bytes) {
    const std::size_t padded = bytes + hugePageBytes;
    void* mapping =
        mmap(nullptr, padded, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED)
        return nullptr;
    char* const start = static_cast<char*>(mapping);
    char* const aligned =
        reinterpret_cast<char*>(roundUp(reinterpret_cast<std::uintptr_t>(start), hugePageBytes));
    if (aligned != start)
        munmap(start, static_cast<std::size_t>(aligned - start));
    char* const end = aligned + bytes;
    if (end != start + padded)
        munmap(end, static_cast<std::size_t>(start + padded - end));
    adviseHugePages(aligned, bytes);
    return aligned;
}

// The first reservation: what the build may take, halved while the system
// refuses it, but never below what is needed now.
void reserveFirst(std::size_t needed) {
    const std::size_t floor = roundUp(needed, hugePageBytes);
    std::size_t bytes = std::max(roundUp(listStoreReservationBytes(), hugePageBytes), floor);
    bytes = std::min(bytes, roundUp(maxEntries * entryBytes, hugePageBytes));
    for (;;) {
        if (char* base = reserve(bytes)) {
            listStore.entries = reinterpret_cast<ListEntry*>(base);
            reservedBytes = bytes;
            committedBytes = 0;
            latestPeakBytes = 0;
            return;
        }
        if (bytes == floor)
            outOfMemory();
        bytes = std::max(roundUp(bytes / 2, hugePageBytes), floor);
    }
}

// Makes [committedBytes, bytes) of the reservation writable; false where the
// system refuses.
bool commit(std::size_t bytes) {
    if (!withinCommitLimit(bytes))
        return false;
    char* const base = reinterpret_cast<char*>(listStore.entries);
    if (mprotect(base + committedBytes, bytes - committedBytes, PROT_READ | PROT_WRITE) != 0)
        return false;
    committedBytes = bytes;
    return true;
}

// A reservation used up: the whole mapping, writable by now, grows in place
// or moves to a range of bytes, all writable; copied where it cannot move.
bool extend(std::size_t bytes) {
    if (!withinCommitLimit(bytes))
        return false;
    void* const old = listStore.entries;
    void* moved = MAP_FAILED;
#ifdef MREMAP_MAYMOVE
    moved = mremap(old, reservedBytes, bytes, MREMAP_MAYMOVE);
#endif
    if (moved == MAP_FAILED) {
        moved = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (moved == MAP_FAILED)
            return false;
        std::memcpy(moved, old, std::size_t{listStore.used} * entryBytes);
        munmap(old, reservedBytes);
    }
    listStore.entries = static_cast<ListEntry*>(moved);
    reservedBytes = committedBytes = bytes;
    return true;
}

// Makes the store writable up to bytes.
bool makeWritable(std::size_t bytes) {
    if (bytes <= reservedBytes)
        return commit(bytes);
    return (committedBytes == reservedBytes || commit(reservedBytes)) && extend(bytes);
}

} // namespace

void growListStore(uint32_t count) {
    const uint64_t entries = uint64_t{listStore.used} + count;
    if (entries > maxEntries)
        outOfMemory();
    const std::size_t needed = static_cast<std::size_t>(entries) * entryBytes;
    if (listStore.entries == nullptr)
        reserveFirst(needed);
    // Steps of an eighth of what is there, so that a big store is made
    // writable in a few dozen calls; none of it is touched before use. Near
    // the end of what the system gives, just what is needed.
    const std::size_t step = std::max(hugePageBytes, committedBytes / 8);
    std::size_t ahead = roundUp(std::max(needed, committedBytes + step), hugePageBytes);
    if (needed <= reservedBytes)
        ahead = std::min(ahead, reservedBytes);
    if (!makeWritable(ahead) && !makeWritable(roundUp(needed, hugePageBytes)))
        outOfMemory();
    listStore.capacity =
        static_cast<uint32_t>(std::min<uint64_t>(committedBytes / entryBytes, maxEntries));
}

void prefaultListStore() noexcept {
    // Up to the end of the huge page the entries reach into, at most that
    // far ahead of what is taken.
    const std::size_t from = std::size_t{listStore.prefaulted} * entryBytes;
    const std::size_t to =
        std::min(roundUp(std::size_t{listStore.used} * entryBytes, hugePageBytes), committedBytes);
    if (to > from)
        prefaultPages(reinterpret_cast<char*>(listStore.entries) + from, to - from);
    listStore.prefaulted = static_cast<uint32_t>(to / entryBytes);
}

void releaseListStore() noexcept {
    latestPeakBytes = std::size_t{listStore.used} * entryBytes;
    char* const base = reinterpret_cast<char*>(listStore.entries);
    if (base != nullptr && keepOnRelease && kept == nullptr && committedBytes != 0) {
        munmap(base + committedBytes, reservedBytes - committedBytes);
        kept = base;
        keptBytes = committedBytes;
    } else if (base != nullptr) {
        munmap(base, reservedBytes);
    }
    listStore = ListStore{};
    reservedBytes = committedBytes = 0;
}

void trimListStore() noexcept {
    if (reservedBytes <= committedBytes)
        return;
    char* const base = reinterpret_cast<char*>(listStore.entries);
    munmap(base + committedBytes, reservedBytes - committedBytes);
    reservedBytes = committedBytes;
}

ListStoreKeeper::ListStoreKeeper() {
    keepOnRelease = true;
}

ListStoreKeeper::~ListStoreKeeper() {
    keepOnRelease = false;
    dropKept();
}

void* adoptKeptListStore(std::size_t bytes, std::size_t* heldBytes) noexcept {
    // Less than a huge page is better off on the heap than in one of its own.
    const std::size_t whole = roundUp(bytes, hugePageBytes);
    if (kept == nullptr || bytes < hugePageBytes || whole > keptBytes)
        return nullptr;
    if (whole < keptBytes)
        munmap(kept + whole, keptBytes - whole);
    void* const memory = kept;
    *heldBytes = whole;
    kept = nullptr;
    keptBytes = 0;
    return memory;
}

void releaseAdoptedMemory(void* memory, std::size_t bytes) noexcept {
    if (memory != nullptr)
        munmap(memory, bytes);
}

std::size_t listStorePeakBytes() {
    if (listStore.entries != nullptr)
        return std::size_t{listStore.used} * entryBytes;
    return latestPeakBytes;
}

void setListStoreCommitLimit(std::size_t bytes) {
    commitLimit = bytes;
}

} // namespace vantrel
