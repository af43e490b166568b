// The viewer's frames: a render target that follows the window's size, and
// the one call through which every frame is rendered.
#pragma once

#include <cstdint>
#include <memory>

#include "vantrel/kdtree/kd_tree.h"
#include "vantrel/scene/records.h"
#include "vantrel/tracer/query.h"
#include "vantrel/tracer/render_target.h"
#include "vantrel/tracer/worker_pool.h"

namespace vantrel {

struct ViewRenderer {
    std::unique_ptr<WorkerPool> pool; // made once: a frame starts no thread
    uint32_t threads;                 // that render, as many as the system gave
};

// threads: how many to render on, the calling one included; 0 asks for one
// per core the machine has.
ViewRenderer startViewRenderer(uint32_t threads);
void stopViewRenderer(ViewRenderer& renderer);

// Renders scene, whose only tree is tree, into target on every thread of the
// renderer; returns the rays tested against the tree. Every pixel is written,
// as the one-thread frame writes it.
uint32_t renderViewFrame(ViewRenderer& renderer, const PrimitiveList& scene, KdTree& tree,
                         RenderTarget& target, const Matrix4& camera);

// The same through a query scene's hierarchy, lit so that the model's form
// reads; returns the rays traced, one a pixel.
uint32_t renderViewFrame(ViewRenderer& renderer, const QueryScene& scene, RenderTarget& target,
                         const Matrix4& camera);

// Gives target a ray table and pixels of width x height (both at least 1),
// releasing what it had; the ray table has the viewer's field of view.
void sizeViewTarget(RenderTarget& target, uint32_t width, uint32_t height);
void releaseViewTarget(RenderTarget& target);

} // namespace vantrel
