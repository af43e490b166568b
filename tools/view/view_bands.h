// A large frame rendered band by band, the window's events looked at in
// between: Escape, closing the window or a resize must not wait seconds
// for a frame that is then thrown away.
#pragma once

#include <cstdint>

#include "tools/view/view_frame.h"

namespace vantrel {

// Frames of more pixels than this are rendered in bands of about a
// quarter of a million pixels; smaller ones at once.
constexpr uint64_t mostPixelsAtOnce = uint64_t{1} << 21;

// Renders as renderViewFrame does, with the same pixels and ray count in
// rays, and true; false where a quit, an Escape or a resize was waiting
// between two bands, the rest of the frame then left as it was. The events
// stay queued for the frame loop.
bool renderViewFrameBetweenEvents(ViewRenderer& renderer, const PrimitiveList& scene, KdTree& tree,
                                  RenderTarget& target, const Matrix4& camera, uint32_t& rays);

} // namespace vantrel
