#include "tools/view/view_frame.h"

#include <algorithm>
#include <cstddef>

#include "tools/view/view_camera.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/render.h"

namespace vantrel {

ViewRenderer startViewRenderer(uint32_t threads) {
    ViewRenderer renderer{};
    renderer.pool = std::make_unique<WorkerPool>(threads);
    renderer.threads = renderer.pool->threadCount();
    return renderer;
}

void stopViewRenderer(ViewRenderer& renderer) {
    renderer = ViewRenderer{};
}

uint32_t renderViewFrame(ViewRenderer& renderer, const PrimitiveList& scene, KdTree& tree,
                         RenderTarget& target, const Matrix4& camera) {
    // Per frame, so that the 32-bit counter cannot wrap; the pool adds the
    // frame's rays at its end.
    tree.rayCount = 0;
    renderFrame(*renderer.pool, scene, target, camera);
    return tree.rayCount;
}

uint32_t renderViewFrame(ViewRenderer& renderer, const QueryScene& scene, RenderTarget& target,
                         const Matrix4& camera) {
    renderFrame(*renderer.pool, scene, target, camera, FrameLight::Model);
    return target.width * target.height;
}

void sizeViewTarget(RenderTarget& target, uint32_t width, uint32_t height) {
    releaseViewTarget(target);
    target.width = std::max(width, 1u);
    target.height = std::max(height, 1u);
    target.pixels = new uint8_t[size_t{target.width} * target.height * 3]();
    buildRayTable(target, viewExtentFor(target.width, target.height));
}

void releaseViewTarget(RenderTarget& target) {
    delete[] target.rays;
    delete[] target.pixels;
    target = RenderTarget{};
}

} // namespace vantrel
