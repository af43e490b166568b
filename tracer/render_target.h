// The frame being rendered and shown: one primary ray and one RGB pixel per
// screen position, both row-major with row 0 at the top.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

struct RenderTarget {
    uint32_t width;
    uint32_t height;
    Ray* rays;       // width * height camera-space rays, from buildRayTable
    uint8_t* pixels; // width * height * 3 bytes: red, green, blue
};

// Sets every pixel of the target to one colour.
void clearTarget(RenderTarget& target, uint8_t red, uint8_t green, uint8_t blue);

} // namespace vantrel
