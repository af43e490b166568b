#include "vantrel/app/frame_caption.h"

#include <cstdio>

namespace vantrel {

void startCaptionWindow(CaptionWindow& window, TickSource clock) {
    window.frameCount = 0;
    window.lastUpdate = clock();
}

bool captionDue(int32_t now, int32_t lastUpdate) {
    // Unsigned difference: stays right when the tick count wraps.
    return static_cast<uint32_t>(now) - static_cast<uint32_t>(lastUpdate) > 1000u;
}

void formatCaption(char* text, size_t size, int32_t frames, uint32_t rayCount) {
    std::snprintf(text, size, "%dfps/%.2fMrays", frames, static_cast<double>(rayCount) / 1000000.0);
}

bool countFrame(CaptionWindow& window, TickSource clock, KdTree* tree, char* text, size_t size) {
    // Counted before the check, so the first caption includes this frame.
    ++window.frameCount;
    if (!captionDue(clock(), window.lastUpdate))
        return false;
    window.lastUpdate = clock();
    formatCaption(text, size, window.frameCount, tree ? tree->rayCount : 0);
    window.frameCount = 0;
    if (tree) {
        tree->rayCount = 0;
        tree->emptyLeafCount = 0;
    }
    return true;
}

} // namespace vantrel
