#include "vantrel/app/surface_copy.h"

#include <cstddef>

namespace vantrel {

void copyToSurface(const RenderTarget& target, SDL_Surface* surface) {
    // Words of 32 bits in rows of the target's size: anything less would be
    // written past.
    if (surface->format->BytesPerPixel != 4 || surface->w < 0 || surface->h < 0 ||
        static_cast<uint32_t>(surface->w) < target.width ||
        static_cast<uint32_t>(surface->h) < target.height)
        return;
    const bool mustLock = SDL_MUSTLOCK(surface);
    if (mustLock && SDL_LockSurface(surface) < 0)
        return;
    const uint8_t* source = target.pixels;
    auto* rowStart = static_cast<uint8_t*>(surface->pixels);
    for (uint32_t y = 0; y < target.height; ++y, rowStart += surface->pitch) {
        auto* word = reinterpret_cast<uint32_t*>(rowStart);
        for (uint32_t x = 0; x < target.width; ++x, source += 3)
            word[x] = static_cast<uint32_t>(source[0]) << 16 |
                      static_cast<uint32_t>(source[1]) << 8 | source[2];
    }
    if (mustLock)
        SDL_UnlockSurface(surface);
}

} // namespace vantrel
