// A node's references: a doubly linked list of copies whose entries live in
// its build's list store. Entries go in at the front only and stay until the
// list is cleared or destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "vantrel/kdtree/memory/list_store.h"
#include "vantrel/kdtree/nodes/build_context.h"
#include "vantrel/kdtree/split/choose.h"
#include "vantrel/scene/records.h"

namespace vantrel {

class PrimitiveRefList {
  public:
    // Front to back. Stays valid while entries are added to any list.
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = PrimitiveRef;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = PrimitiveRef; // entries hold the fields, not the record

        Iterator() = default;
        Iterator(const ListStore& lists, uint32_t index) : store(&lists), at(index) {}
        PrimitiveRef operator*() const { return store->entry(at).ref(); }
        Iterator& operator++() {
            at = store->entry(at).next;
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
        const ListStore* store = nullptr;
        uint32_t at = noListEntry;
    };

    explicit PrimitiveRefList(BuildContext& context) : build(&context) {}
    PrimitiveRefList(const PrimitiveRefList&) = delete;
    PrimitiveRefList& operator=(const PrimitiveRefList&) = delete;
    ~PrimitiveRefList() { clear(); }

    void push_front(const PrimitiveRef& ref) {
        ListStore& store = build->lists;
        const uint32_t index = store.take(1);
        ListEntry& entry = store.entry(index);
        entry.setRef(ref);
        entry.next = head;
        entry.prev = noListEntry;
        if (head != noListEntry)
            store.entry(head).prev = index;
        head = index;
        ++count;
    }

    PrimitiveRef front() const { return build->lists.entry(head).ref(); }
    // Kept as entries go in, so that it need not be walked for.
    uint32_t size() const { return count; }
    bool empty() const { return count == 0; }
    // Releases every entry.
    void clear() noexcept {
        build->lists.give(count);
        head = noListEntry;
        count = 0;
    }
    Iterator begin() const { return Iterator(build->lists, head); }
    Iterator end() const { return Iterator(); }
    uint32_t frontIndex() const { return head; }
    // The build the list belongs to, and with it its node.
    BuildContext& context() const { return *build; }

  private:
    friend class FrontRun;

    BuildContext* build;
    uint32_t head = noListEntry;
    uint32_t count = 0;
};

// The entries of a number of front insertions into one list, taken at once as
// one run and linked as those insertions link them: push() gives them their
// references one after the other, in insertion order. They lie front to back
// at ascending indices, so that a walk steps through them in address order.
// The list may be read only once every entry is pushed; the run writes
// through an address, so no entries may be taken meanwhile beyond those
// reserved (ListStore::reserve).
class FrontRun {
  public:
    FrontRun(PrimitiveRefList& list, uint32_t entries) {
        if (entries == 0)
            return;
        ListStore& store = list.build->lists;
        const uint32_t first = store.take(entries);
        ListEntry* const run = &store.entry(first);
        for (uint32_t p = 0; p < entries; ++p) {
            run[p].next = first + p + 1;
            run[p].prev = first + p - 1;
        }
        run[0].prev = noListEntry;
        run[entries - 1].next = list.head;
        if (list.head != noListEntry)
            store.entry(list.head).prev = first + entries - 1;
        list.head = first;
        list.count += entries;
        next = run + entries;
    }

    // The next insertion: one place nearer the front than the one before.
    void push(const PrimitiveRef& ref) { (--next)->setRef(ref); }

    // push(ref) where take holds, and nothing else; without a branch, for
    // entries that go one way or the other at random.
    void pushIf(const PrimitiveRef& ref, bool take) {
        const std::uintptr_t front = reinterpret_cast<std::uintptr_t>(next) - sizeof(ListEntry);
        const std::uintptr_t away = reinterpret_cast<std::uintptr_t>(&discard);
        reinterpret_cast<ListEntry*>(choose(take, front, away))->setRef(ref);
        next -= take ? 1 : 0;
    }

  private:
    ListEntry* next = nullptr; // the entry pushed last
    ListEntry discard;
};

// Calls visit(first, length) for every stretch of list whose entries lie one
// after the other at ascending indices, front to back, with the index of its
// first entry; every list a build makes is one such run. visit must not add
// entries to any list.
template <class Visit> void forEachListRun(const PrimitiveRefList& list, Visit&& visit) {
    const ListEntry* const entries = list.context().lists.data();
    uint32_t index = list.frontIndex();
    while (index != noListEntry) {
        const uint32_t start = index;
        const ListEntry* entry = entries + index;
        while (entry->next == index + 1) {
            ++index;
            ++entry;
        }
        visit(start, index + 1 - start);
        index = entry->next;
    }
}

// Calls visit(entry) for every entry of list, front to back. Where the link
// leads to the adjacent entry, as it does within a run, the walk steps there
// without waiting for the link. visit must not add entries to any list.
template <class Visit> void forEachListEntry(const PrimitiveRefList& list, Visit&& visit) {
    const ListEntry* const entries = list.context().lists.data();
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
