#include "tools/view/view_surface.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "vantrel/app/surface_copy.h"

namespace vantrel {

void tracedSizeFor(uint32_t windowWidth, uint32_t windowHeight, uint32_t& width, uint32_t& height) {
    width = std::max(windowWidth, 1u);
    height = std::max(windowHeight, 1u);
    const uint64_t pixels = uint64_t{width} * height;
    if (pixels <= mostTracedPixels)
        return;
    const double shrink = std::sqrt(static_cast<double>(mostTracedPixels) / pixels);
    width = std::max(1u, static_cast<uint32_t>(width * shrink));
    height = std::max(1u, static_cast<uint32_t>(height * shrink));
}

void presentFrame(const RenderTarget& target, SDL_Surface* surface) {
    if (surface->w == static_cast<int>(target.width) &&
        surface->h == static_cast<int>(target.height)) {
        copyToSurface(target, surface);
        return;
    }
    if (surface->format->BytesPerPixel != 4 || surface->w <= 0 || surface->h <= 0 ||
        target.width == 0 || target.height == 0)
        return;
    const bool mustLock = SDL_MUSTLOCK(surface);
    if (mustLock && SDL_LockSurface(surface) < 0)
        return;
    const auto columns = static_cast<uint32_t>(surface->w);
    const auto rows = static_cast<uint32_t>(surface->h);
    std::vector<uint32_t> from(columns); // the traced column of each window column
    for (uint32_t x = 0; x < columns; ++x)
        from[x] = static_cast<uint32_t>(uint64_t{x} * target.width / columns);
    auto* rowStart = static_cast<uint8_t*>(surface->pixels);
    for (uint32_t y = 0; y < rows; ++y, rowStart += surface->pitch) {
        const uint8_t* source =
            target.pixels + 3 * (uint64_t{y} * target.height / rows) * target.width;
        auto* word = reinterpret_cast<uint32_t*>(rowStart);
        for (uint32_t x = 0; x < columns; ++x) {
            const uint8_t* pixel = source + 3 * from[x];
            word[x] = static_cast<uint32_t>(pixel[0]) << 16 | static_cast<uint32_t>(pixel[1]) << 8 |
                      pixel[2];
        }
    }
    if (mustLock)
        SDL_UnlockSurface(surface);
}

} // namespace vantrel
