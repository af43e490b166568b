// The demo scene's random numbers: a 15-bit linear congruential generator,
// never seeded, so every platform builds the same scene.
#pragma once

#include <cstdint>

namespace vantrel {

// Next value in 0..32767.
int32_t nextRandom();

// Next value scaled to [0, 1]; both ends can occur.
float randomUnit();

// Values drawn since the process started.
uint64_t randomDrawCount();

} // namespace vantrel
