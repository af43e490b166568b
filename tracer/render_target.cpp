#include "vantrel/tracer/render_target.h"

#include <cstddef>

namespace vantrel {

void clearTarget(RenderTarget& target, uint8_t red, uint8_t green, uint8_t blue) {
    const size_t pixelCount = static_cast<size_t>(target.width) * target.height;
    uint8_t* p = target.pixels;
    for (size_t i = 0; i < pixelCount; ++i, p += 3) {
        p[0] = red;
        p[1] = green;
        p[2] = blue;
    }
}

} // namespace vantrel
