// The program's clock: 1000 ticks per second since the process started.
#pragma once

#include <cstdint>

namespace vantrel {

// Milliseconds since process start, from a monotonic clock. (The C library's
// clock() counts processor time, at a platform-dependent rate.)
int32_t clockTicks();

} // namespace vantrel
