// The once-a-second performance caption: frames and rays over one window of
// more than 1000 clock ticks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vantrel/kdtree/kd_tree.h"

namespace vantrel {

// Fits "%dfps/%.2fMrays" for any 32-bit frame count and ray count.
constexpr size_t captionBufferSize = 32;

using TickSource = int32_t (*)();

struct CaptionWindow {
    int32_t frameCount;
    int32_t lastUpdate; // clock value of the last caption update
};

// Starts the first window at the clock's current value.
void startCaptionWindow(CaptionWindow& window, TickSource clock);

// True when more than 1000 ticks lie between lastUpdate and now; exactly 1000
// is not enough.
bool captionDue(int32_t now, int32_t lastUpdate);

// "%dfps/%.2fMrays": the ray count in millions, not per second.
void formatCaption(char* text, size_t size, int32_t frames, uint32_t rayCount);

// Counts one frame. When the window is over, writes the caption into text,
// restarts the window at a fresh clock value and clears the tree's ray and
// empty-leaf counters; returns true then. tree may be null (no rays yet).
bool countFrame(CaptionWindow& window, TickSource clock, KdTree* tree, char* text, size_t size);

} // namespace vantrel
