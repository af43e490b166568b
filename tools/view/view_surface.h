// The frame traced for the viewer's window, and how it is shown there: a
// window of any size shows a frame of at most mostTracedPixels, scaled up to
// fill it, so that a huge window takes neither a ray's memory a pixel nor
// seconds a frame.
#pragma once

#include <SDL.h>

#include <cstdint>

#include "vantrel/tracer/render_target.h"

namespace vantrel {

// 2560x1600: a large monitor's pixels, traced one to one.
constexpr uint64_t mostTracedPixels = uint64_t{2560} * 1600;

// The size traced for a window of windowWidth x windowHeight (each at
// least 1): the window's own, or scaled down to mostTracedPixels with its
// shape kept.
void tracedSizeFor(uint32_t windowWidth, uint32_t windowHeight, uint32_t& width, uint32_t& height);

// Shows target in the 32-bit surface: copied as the program copies its
// frames where their sizes agree, and otherwise scaled to fill it, each
// window pixel taking the traced pixel it falls in.
void presentFrame(const RenderTarget& target, SDL_Surface* surface);

} // namespace vantrel
