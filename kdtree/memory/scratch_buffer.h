// Working storage that keeps its memory from use to use and never sets it:
// the build writes every element before it reads it, and a std::vector would
// clear what it adds each time a node needs more than the one before.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>

namespace vantrel {

template <class T> class ScratchBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "plain values only");

  public:
    // Room for count elements; what it held is lost when it has to grow.
    T* resize(std::size_t count) {
        if (count > capacity) {
            const std::size_t grown = grownCapacity(count);
            storage.reset(new T[grown]);
            capacity = grown;
        }
        length = count;
        return storage.get();
    }
    // Bytes more that resize(count) would hold, for charging before it does.
    std::size_t growthBytes(std::size_t count) const {
        return count > capacity ? (grownCapacity(count) - capacity) * sizeof(T) : 0;
    }
    // Keeps the first count elements.
    void shrink(std::size_t count) { length = count; }

    T* data() { return storage.get(); }
    const T* data() const { return storage.get(); }
    std::size_t size() const { return length; }
    bool empty() const { return length == 0; }
    T& operator[](std::size_t i) { return storage[i]; }
    const T& operator[](std::size_t i) const { return storage[i]; }
    const T* begin() const { return storage.get(); }
    const T* end() const { return storage.get() + length; }

  private:
    std::size_t grownCapacity(std::size_t count) const {
        return count > 2 * capacity ? count : 2 * capacity;
    }

    std::unique_ptr<T[]> storage;
    std::size_t capacity = 0;
    std::size_t length = 0;
};

} // namespace vantrel
