#include "tools/bench/frame_hash.h"

namespace vantrel {

uint64_t fnv1a64(const uint8_t* bytes, size_t length) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < length; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

uint64_t hashFrame(const RenderTarget& target) {
    const size_t length = size_t{target.width} * target.height * 3;
    return fnv1a64(target.pixels, length);
}

} // namespace vantrel
