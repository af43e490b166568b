// Renders a frame tile by tile into a render target.
#pragma once

#include <cstdint>

#include "app/render_target.h"
#include "scene/records.h"

namespace vantrel {

// Colour of the primary ray being traced: red, green, blue.
extern float accumulatedColour[3];

// Writes every pixel of target once.
void renderFrame(const PrimitiveList& scene, RenderTarget& target, const Matrix4& camera);

// Renders the half-open region [x0, x1) x [y0, y1), subdividing into tiles of
// `size` while size is above 16.
void renderTile(const PrimitiveList& scene, RenderTarget& target, const Matrix4& camera,
                uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint32_t size);

} // namespace vantrel
