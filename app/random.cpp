#include "vantrel/app/random.h"

namespace vantrel {

namespace {

// The C standard's example generator. The platform's rand() has a wider range
// and a sequence of its own; this one gives the same scene everywhere.
uint32_t state = 1;
uint64_t drawCount = 0;

} // namespace

int32_t nextRandom() {
    state = state * 1103515245u + 12345u;
    ++drawCount;
    return static_cast<int32_t>((state / 65536u) % 32768u);
}

float randomUnit() {
    return static_cast<float>(nextRandom()) / 32767.0f;
}

uint64_t randomDrawCount() {
    return drawCount;
}

} // namespace vantrel
