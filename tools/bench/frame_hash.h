// A stable fingerprint of a rendered frame, for regression checks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/tracer/render_target.h"

namespace vantrel {

// 64-bit FNV-1a: tiny, fixed, and identical on every platform.
uint64_t fnv1a64(const uint8_t* bytes, size_t length);

// Hashes the target's width * height * 3 pixel bytes.
uint64_t hashFrame(const RenderTarget& target);

} // namespace vantrel
