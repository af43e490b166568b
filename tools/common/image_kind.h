// What a frame's pixels show.
#pragma once

namespace vantrel {

// The renderer's shading, or through the ray queries the distance, the
// surface's normal or which primitive was hit.
enum class ImageKind { Colour, Depth, Normal, Id };

} // namespace vantrel
