// A node's references: a doubly linked list of copies whose entries live in
// the list store (list_store.h). Entries go in at the front only and stay
// until the list is cleared or destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "kdtree/list_store.h"
#include "scene/records.h"

namespace vantrel {

class PrimitiveRefList {
  public:
    // Front to back. Stays valid while entries are added to any list.
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = PrimitiveRef;
        using difference_type = std::ptrdiff_t;
        using pointer = const PrimitiveRef*;
        using reference = const PrimitiveRef&;

        Iterator() = default;
        explicit Iterator(uint32_t index) : at(index) {}
        const PrimitiveRef& operator*() const { return listEntry(at).ref; }
        const PrimitiveRef* operator->() const { return &listEntry(at).ref; }
        Iterator& operator++() {
            at = listEntry(at).next;
            return *this;
        }
        Iterator operator++(int) {
            const Iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const Iterator& other) const { return at == other.at; }
        bool operator!=(const Iterator& other) const { return at != other.at; }

      private:
        uint32_t at = noListEntry;
    };

    PrimitiveRefList() = default;
    PrimitiveRefList(const PrimitiveRefList&) = delete;
    PrimitiveRefList& operator=(const PrimitiveRefList&) = delete;
    ~PrimitiveRefList() { clear(); }

    void push_front(const PrimitiveRef& ref) {
        const uint32_t index = takeListEntries(1);
        ListEntry& entry = listEntry(index);
        entry.ref = ref;
        entry.next = head;
        entry.prev = noListEntry;
        if (head != noListEntry)
            listEntry(head).prev = index;
        head = index;
        ++count;
    }

    // The entries of `entries` front insertions, taken at once and linked as
    // those insertions would link them, in front of what the list holds. They
    // lie front to back at ascending indices from the one returned; the caller
    // writes their references, that of the k-th insertion (from 0) into
    // index + entries - 1 - k. Nothing is taken for 0 entries.
    uint32_t pushFrontRun(uint32_t entries) {
        if (entries == 0)
            return head;
        const uint32_t first = takeListEntries(entries);
        ListEntry* run = &listEntry(first);
        for (uint32_t p = 0; p < entries; ++p) {
            run[p].prev = first + p - 1;
            run[p].next = first + p + 1;
        }
        run[0].prev = noListEntry;
        run[entries - 1].next = head;
        if (head != noListEntry)
            listEntry(head).prev = first + entries - 1;
        head = first;
        count += entries;
        return first;
    }

    const PrimitiveRef& front() const { return listEntry(head).ref; }
    // Kept as entries go in, so that it need not be walked for.
    uint32_t size() const { return count; }
    bool empty() const { return count == 0; }
    // Releases every entry.
    void clear() noexcept {
        giveListEntries(count);
        head = noListEntry;
        count = 0;
    }
    Iterator begin() const { return Iterator(head); }
    Iterator end() const { return Iterator(); }
    uint32_t frontIndex() const { return head; }

  private:
    uint32_t head = noListEntry;
    uint32_t count = 0;
};

// Calls visit(entry) for every entry of list, front to back. Where the link
// leads to the adjacent entry, as it does within a run, the walk steps there
// without waiting for the link. visit must not add entries to any list.
template <class Visit> void forEachListEntry(const PrimitiveRefList& list, Visit&& visit) {
    const ListEntry* const entries = listStore.entries;
    uint32_t index = list.frontIndex();
    while (index != noListEntry) {
        const ListEntry* entry = entries + index;
        for (;;) {
            visit(*entry);
            const uint32_t next = entry->next;
            ++index;
            ++entry;
            if (next != index) {
                index = next;
                break;
            }
        }
    }
}

} // namespace vantrel
