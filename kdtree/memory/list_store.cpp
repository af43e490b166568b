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

#include "vantrel/scene/page_advice.h"

namespace vantrel {

namespace {

// Below the null index, with one to spare, so that no walk stepping to the
// entry after the last one can land on it.
constexpr uint64_t maxEntries = noListEntry - 1;
constexpr std::size_t entryBytes = sizeof(ListEntry);

std::size_t roundUp(std::size_t bytes, std::size_t step) {
    return (bytes + step - 1) / step * step;
}

// A reservation of bytes (a multiple of the huge page) on a huge-page
// boundary, so that every huge page inside can be backed by one; or null.
char* reserveAligned(std::size_t bytes, bool hugePages) {
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
    if (hugePages)
        adviseHugePages(aligned, bytes);
    return aligned;
}

} // namespace

ListStore::~ListStore() {
    release();
}

void ListStore::release() noexcept {
    if (entries != nullptr)
        munmap(entries, reservedBytes);
    entries = nullptr;
    capacity = 0;
    prefaulted = used;
    reservedBytes = committedBytes = 0;
}

// The first reservation: what the build may take, halved while the system
// refuses it, but never below what is needed now.
void ListStore::reserveFirst(std::size_t needed) {
    const std::size_t floor = roundUp(needed, hugePageBytes);
    std::size_t bytes = std::max(roundUp(limits.reservationBytes, hugePageBytes), floor);
    bytes = std::min(bytes, roundUp(maxEntries * entryBytes, hugePageBytes));
    for (;;) {
        if (char* base = reserveAligned(bytes, limits.hugePages)) {
            entries = reinterpret_cast<ListEntry*>(base);
            reservedBytes = bytes;
            committedBytes = 0;
            return;
        }
        if (bytes == floor)
            throw std::bad_alloc();
        bytes = std::max(roundUp(bytes / 2, hugePageBytes), floor);
    }
}

// Makes [committedBytes, bytes) of the reservation writable; false where the
// system refuses.
bool ListStore::commit(std::size_t bytes) {
    if (limits.commitLimit != 0 && bytes > limits.commitLimit)
        return false;
    char* const base = reinterpret_cast<char*>(entries);
    if (mprotect(base + committedBytes, bytes - committedBytes, PROT_READ | PROT_WRITE) != 0)
        return false;
    committedBytes = bytes;
    return true;
}

// A reservation used up: the whole mapping, writable by now, grows in place
// or moves to a range of bytes, all writable; copied where it cannot move.
bool ListStore::extend(std::size_t bytes) {
    if (limits.commitLimit != 0 && bytes > limits.commitLimit)
        return false;
    void* const old = entries;
    void* moved = MAP_FAILED;
#ifdef MREMAP_MAYMOVE
    moved = mremap(old, reservedBytes, bytes, MREMAP_MAYMOVE);
#endif
    if (moved == MAP_FAILED) {
        moved = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (moved == MAP_FAILED)
            return false;
        std::memcpy(moved, old, std::size_t{used} * entryBytes);
        munmap(old, reservedBytes);
    }
    entries = static_cast<ListEntry*>(moved);
    reservedBytes = committedBytes = bytes;
    return true;
}

// Makes the store writable up to bytes.
bool ListStore::makeWritable(std::size_t bytes) {
    if (bytes <= reservedBytes)
        return commit(bytes);
    return (committedBytes == reservedBytes || commit(reservedBytes)) && extend(bytes);
}

void ListStore::grow(uint32_t count) {
    const uint64_t wanted = uint64_t{used} + count;
    if (wanted > maxEntries)
        throw std::bad_alloc();
    const std::size_t needed = static_cast<std::size_t>(wanted) * entryBytes;
    if (entries == nullptr)
        reserveFirst(needed);
    // Steps of an eighth of what is there, so that a big store is made
    // writable in a few dozen calls; none of it is touched before use. Near
    // the end of what the system gives, just what is needed.
    const std::size_t step = std::max(hugePageBytes, committedBytes / 8);
    std::size_t ahead = roundUp(std::max(needed, committedBytes + step), hugePageBytes);
    if (needed <= reservedBytes)
        ahead = std::min(ahead, reservedBytes);
    if (!makeWritable(ahead) && !makeWritable(roundUp(needed, hugePageBytes)))
        throw std::bad_alloc();
    capacity = static_cast<uint32_t>(std::min<uint64_t>(committedBytes / entryBytes, maxEntries));
}

void ListStore::prefault() noexcept {
    // Up to the end of the huge page the entries reach into, at most that
    // far ahead of what is taken.
    const std::size_t from = std::size_t{prefaulted} * entryBytes;
    const std::size_t to =
        std::min(roundUp(std::size_t{used} * entryBytes, hugePageBytes), committedBytes);
    if (to > from)
        prefaultPages(reinterpret_cast<char*>(entries) + from, to - from);
    prefaulted = static_cast<uint32_t>(to / entryBytes);
}

void ListStore::trim() noexcept {
    if (reservedBytes <= committedBytes)
        return;
    char* const base = reinterpret_cast<char*>(entries);
    munmap(base + committedBytes, reservedBytes - committedBytes);
    reservedBytes = committedBytes;
}

void* ListStore::adopt(std::size_t bytes, std::size_t* heldBytes) noexcept {
    // Less than a huge page is better off on the heap than in one of its own.
    const std::size_t whole = roundUp(bytes, hugePageBytes);
    if (live != 0 || entries == nullptr || bytes < hugePageBytes || whole > committedBytes)
        return nullptr;
    char* const memory = reinterpret_cast<char*>(entries);
    if (whole < reservedBytes)
        munmap(memory + whole, reservedBytes - whole);
    *heldBytes = whole;
    entries = nullptr;
    release();
    return memory;
}

void releaseListMemory(void* memory, std::size_t bytes) noexcept {
    if (memory != nullptr)
        munmap(memory, bytes);
}

} // namespace vantrel
