// Replaces the global allocation operators of a fuzz target with ones that
// count live bytes and, while a budget is armed, throw std::bad_alloc past
// it. Inputs that would legitimately take gigabytes then end through the
// ordinary allocation failure path instead of exhausting the machine, and
// that path gets exercised too. Include in exactly one file of a target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace allocation_budget {

inline std::size_t liveBytes = 0;
inline std::size_t peakBytes = 0; // of liveBytes; callers may reset it
inline std::size_t limit = 0;     // 0: unlimited

// Every block carries its size in front, kept at the strictest alignment.
constexpr std::size_t header = alignof(std::max_align_t);

inline void* take(std::size_t size) {
    if (limit != 0 && (size > limit || liveBytes > limit - size))
        return nullptr;
    void* block = std::malloc(size + header);
    if (!block)
        return nullptr;
    *static_cast<std::size_t*>(block) = size;
    liveBytes += size;
    if (liveBytes > peakBytes)
        peakBytes = liveBytes;
    return static_cast<char*>(block) + header;
}

inline void give(void* pointer) noexcept {
    if (!pointer)
        return;
    // Through the address, not the pointer: the compiler cannot see that the
    // header in front belongs to the same block, and warns.
    void* block = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(pointer) - header);
    liveBytes -= *static_cast<std::size_t*>(block);
    std::free(block);
}

// Arms the budget for one scope: at most `bytes` more than are live now.
class Scope {
  public:
    explicit Scope(std::size_t bytes) { limit = liveBytes + bytes; }
    ~Scope() { limit = 0; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

} // namespace allocation_budget

void* operator new(std::size_t size) {
    if (void* block = allocation_budget::take(size))
        return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocation_budget::take(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocation_budget::take(size);
}
void operator delete(void* pointer) noexcept {
    allocation_budget::give(pointer);
}
void operator delete[](void* pointer) noexcept {
    allocation_budget::give(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    allocation_budget::give(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    allocation_budget::give(pointer);
}
void operator delete(void* pointer, const std::nothrow_t&) noexcept {
    allocation_budget::give(pointer);
}
void operator delete[](void* pointer, const std::nothrow_t&) noexcept {
    allocation_budget::give(pointer);
}
