// Presents a finished frame: RGB bytes into a 32-bit window surface.
#pragma once

#include <SDL.h>

#include "vantrel/tracer/render_target.h"

namespace vantrel {

// Stores each pixel as the word red << 16 | green << 8 | blue; row y starts
// at pixels + y * pitch. Skips the frame silently when the lock fails, or
// when the surface is not 32 bits deep or is smaller than the target.
void copyToSurface(const RenderTarget& target, SDL_Surface* surface);

} // namespace vantrel
