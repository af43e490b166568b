// Renders a frame tile by tile into a render target.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"
#include "vantrel/tracer/render_target.h"
#include "vantrel/tracer/trace_context.h" // accumulatedColour

namespace vantrel {

class WorkerPool;
struct QueryScene;
struct GeometryScene;

// Writes every pixel of target once.
void renderFrame(const PrimitiveList& scene, RenderTarget& target, const Matrix4& camera);

// The same on the thread that calls it, through context; the frame's rays
// are added to their tree's rayCount at its end.
void renderFrame(TraceContext& context, const PrimitiveList& scene, RenderTarget& target,
                 const Matrix4& camera);

// The same on every thread of pool, tiles handed out as threads come free:
// every pixel and the ray count are those of the one-thread frame.
void renderFrame(WorkerPool& pool, const PrimitiveList& scene, RenderTarget& target,
                 const Matrix4& camera);

// How a frame of a query scene is lit: as the renderer lights its hits (its
// light and ambient, which turn bright faces white), or so that a model's
// form reads (a light from the camera, the renderer's light at a quarter
// and a little ambient, together never past the material's colour).
enum class FrameLight { Renderer, Model };

// A frame of a query scene: each pixel's ray from the camera through the
// scene's hierarchy, with the queries' triangle test (no size bound, so a
// model shows at its own coordinates), its hit lit as light says; black
// where nothing is hit. Blocks of pixels are walked together where the
// kernel walks rays from one point together; every kernel and every thread
// count gives the pixels that tracing each ray alone with intersectNearest
// gives. The rays count in no tree's rayCount.
void renderFrame(TraceContext& context, const QueryScene& scene, RenderTarget& target,
                 const Matrix4& camera, FrameLight light);
void renderFrame(WorkerPool& pool, const QueryScene& scene, RenderTarget& target,
                 const Matrix4& camera, FrameLight light);

// The same for a scene of several geometries and instances (a triangle's
// or sphere's hit lit as a query scene's), ray by ray; a scene of one
// geometry where it is, as its query scene.
void renderFrame(WorkerPool& pool, const GeometryScene& scene, RenderTarget& target,
                 const Matrix4& camera, FrameLight light);

// Renders the half-open region [x0, x1) x [y0, y1), subdividing into tiles of
// `size` while size is above 16.
void renderTile(const PrimitiveList& scene, RenderTarget& target, const Matrix4& camera,
                uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint32_t size);

// The same through context, whose rays stay counted there (addRayCounts).
void renderTile(TraceContext& context, const PrimitiveList& scene, RenderTarget& target,
                const Matrix4& camera, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1,
                uint32_t size);

// A direction component at least 0.001 away from zero, keeping its sign; zero
// of either sign goes to +0.001. The kd-tree walk divides by every component.
float keepOffZero(float c);

// One accumulated channel as a byte: clamped to 0..1, scaled by 255 in float
// and truncated, so 0.5 gives 127 and 1.0 gives 255.
inline uint8_t channelToByte(float v) {
    if (v > 1.0f) {
        return 255;
    }
    // Written so that a NaN falls to 0 instead of an undefined conversion.
    if (v >= 0.0f) {
        return static_cast<uint8_t>(v * 255.0f);
    }
    return 0;
}

} // namespace vantrel
