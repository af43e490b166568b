#include "results_out.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "memory_needed.h"

namespace vantrel {

namespace {

// One call's result arrays lie in one block, freed when the last of them
// goes. The latest freed block is kept for the next call that fits in it:
// a batch's arrays are then written into pages already in place, where
// fresh ones cost a page fault each. At most one block waits, of at most
// 256 MB (8 million rays' results): a larger one goes back at once.
class ResultBlocks {
  public:
    // Called with the interpreter's lock held.
    static void* take(std::size_t bytes) {
        {
            const std::lock_guard<std::mutex> lock(guard);
            if (spare && sizeOf(spare) >= bytes && sizeOf(spare) / 2 <= bytes)
                return std::exchange(spare, nullptr);
        }
        char* start = static_cast<char*>(std::malloc(header + bytes));
        if (!start)
            throw std::bad_alloc();
        *reinterpret_cast<std::size_t*>(start) = bytes;
        return start + header;
    }

    static void give(void* block) {
        void* unwanted = block;
        if (sizeOf(block) <= largestKept) {
            const std::lock_guard<std::mutex> lock(guard);
            unwanted = std::exchange(spare, block);
        }
        if (unwanted)
            std::free(static_cast<char*>(unwanted) - header);
    }

  private:
    // Before each block, its size, in 64 bytes that keep the block aligned
    // as malloc aligns.
    static constexpr std::size_t header = 64;
    static constexpr std::size_t largestKept = std::size_t{256} << 20;
    static std::size_t sizeOf(void* block) {
        return *reinterpret_cast<const std::size_t*>(static_cast<char*>(block) - header);
    }

    static inline std::mutex guard;
    static inline void* spare = nullptr;
};

} // namespace

Result resultArrays(std::size_t count) {
    constexpr std::size_t bytesEach = 40;
    requireMemory(bytesEach * count, "the results of " + std::to_string(count) + " rays");
    char* block = static_cast<char*>(ResultBlocks::take(bytesEach * count));
    const py::capsule owner(block, [](void* p) { ResultBlocks::give(p); });
    const auto column = [&](auto* first, std::size_t offset) {
        using T = std::remove_pointer_t<decltype(first)>;
        return py::array_t<T>({count}, {sizeof(T)}, reinterpret_cast<T*>(block + offset), owner);
    };
    // The 8-byte columns first, each aligned.
    return {column(static_cast<float*>(nullptr), 16 * count),
            column(static_cast<int64_t*>(nullptr), 8 * count),
            column(static_cast<int64_t*>(nullptr), 0),
            column(static_cast<float*>(nullptr), 20 * count),
            column(static_cast<float*>(nullptr), 24 * count),
            py::array_t<float>({count, std::size_t{3}}, {3 * sizeof(float), sizeof(float)},
                               reinterpret_cast<float*>(block + 28 * count), owner)};
}

ClosestPoints closestPointArrays(std::size_t count) {
    requireMemory(52 * count, "the closest points of " + std::to_string(count) + " points");
    return {py::array_t<float>({count, std::size_t{3}}),
            py::array_t<float>(count),
            py::array_t<int64_t>(count),
            py::array_t<int64_t>(count),
            py::array_t<float>(count),
            py::array_t<float>(count),
            py::array_t<float>({count, std::size_t{3}})};
}

py::array shaped(const py::array& array, const std::vector<py::ssize_t>& shape) {
    std::vector<py::ssize_t> to = shape;
    if (array.ndim() == 2)
        to.push_back(array.shape(1));
    return array.attr("reshape")(py::tuple(py::cast(to)));
}

void reshape(Result& result, const std::vector<py::ssize_t>& shape) {
    result = {shaped(result.t, shape), shaped(result.geom, shape), shaped(result.prim, shape),
              shaped(result.u, shape), shaped(result.v, shape),    shaped(result.normal, shape)};
}

void reshape(ClosestPoints& result, const std::vector<py::ssize_t>& shape) {
    result = {shaped(result.point, shape), shaped(result.distance, shape),
              shaped(result.geom, shape),  shaped(result.prim, shape),
              shaped(result.u, shape),     shaped(result.v, shape),
              shaped(result.normal, shape)};
}

} // namespace vantrel
