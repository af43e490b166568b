// Placeholder until the tile renderer lands.
#include "tracer/render.h"

namespace vantrel {

float accumulatedColour[3];

void renderFrame(const PrimitiveList&, RenderTarget&, const Matrix4&) {}

} // namespace vantrel
