// A select made in arithmetic, for conditions as good as random, where the
// compiler would make a branch of it.
#pragma once

#include <type_traits>

namespace vantrel {

// a where pick holds, else b.
template <class T> T choose(bool pick, T a, T b) {
    static_assert(std::is_unsigned_v<T>, "a select by a mask of bits");
    const T mask = T{0} - static_cast<T>(pick);
    return (a & mask) | (b & ~mask);
}

} // namespace vantrel
