#include "tools/view/view_bands.h"

#include <SDL.h>

#include <algorithm>

namespace vantrel {

namespace {

// A multiple of the renderer's own bands (and so of its packets' rows), so
// that every pixel is traced as in the whole frame.
constexpr uint32_t rowStep = 32;
constexpr uint64_t pixelsABand = uint64_t{1} << 18;

// Whether a quit, an Escape or a resize waits in SDL's queue; left there.
bool stopWaiting() {
    SDL_PumpEvents();
    SDL_Event events[32];
    const int count = SDL_PeepEvents(events, 32, SDL_PEEKEVENT,
                                     SDL_QUITMASK | SDL_VIDEORESIZEMASK | SDL_KEYDOWNMASK);
    for (int i = 0; i < count; ++i) {
        if (events[i].type == SDL_QUIT || events[i].type == SDL_VIDEORESIZE ||
            (events[i].type == SDL_KEYDOWN && events[i].key.keysym.sym == SDLK_ESCAPE))
            return true;
    }
    return false;
}

} // namespace

bool renderViewFrameBetweenEvents(const std::function<uint32_t(RenderTarget& band)>& render,
                                  RenderTarget& target, uint32_t& rays) {
    if (uint64_t{target.width} * target.height <= mostPixelsAtOnce) {
        rays = render(target);
        return true;
    }
    const uint32_t bandRows = std::max<uint32_t>(
        rowStep, static_cast<uint32_t>(pixelsABand / target.width) / rowStep * rowStep);
    rays = 0;
    for (uint32_t row = 0; row < target.height; row += bandRows) {
        if (row > 0 && stopWaiting())
            return false;
        const size_t first = size_t{row} * target.width;
        RenderTarget band{target.width, std::min(bandRows, target.height - row),
                          target.rays + first, target.pixels + 3 * first};
        rays += render(band);
    }
    return true;
}

} // namespace vantrel
