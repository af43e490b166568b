// A large frame rendered band by band, the window's events looked at in
// between: Escape, closing the window or a resize must not wait seconds
// for a frame that is then thrown away.
#pragma once

#include <cstdint>
#include <functional>

#include "tools/view/view_frame.h"

namespace vantrel {

// Frames of more pixels than this are rendered in bands of about a
// quarter of a million pixels; smaller ones at once.
constexpr uint64_t mostPixelsAtOnce = uint64_t{1} << 21;

// Renders target through render (one of the renderViewFrame calls, given a
// band of target's rows) with the same pixels and ray count in rays as one
// call on the whole, and true; false where a quit, an Escape or a resize was
// waiting between two bands, the rest of the frame then left as it was. The
// events stay queued for the frame loop.
bool renderViewFrameBetweenEvents(const std::function<uint32_t(RenderTarget& band)>& render,
                                  RenderTarget& target, uint32_t& rays);

} // namespace vantrel
