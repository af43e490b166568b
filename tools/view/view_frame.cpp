#include "tools/view/view_frame.h"

#include <algorithm>
#include <cstddef>
#include <thread>

#include "tools/view/view_camera.h"
#include "vantrel/app/camera.h"
#include "vantrel/tracer/render.h"

namespace vantrel {

ViewRenderer startViewRenderer(uint32_t threads) {
    ViewRenderer renderer{};
    renderer.threadsAsked =
        threads > 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
    // The tracer traces from one thread at a time: one hit record, one
    // traversal stack for the whole program.
    renderer.threads = 1;
    return renderer;
}

void stopViewRenderer(ViewRenderer& renderer) {
    renderer = ViewRenderer{};
}

uint32_t renderViewFrame(ViewRenderer&, const PrimitiveList& scene, KdTree& tree,
                         RenderTarget& target, const Matrix4& camera) {
    // Per frame, so that the 32-bit counter cannot wrap.
    tree.rayCount = 0;
    renderFrame(scene, target, camera);
    return tree.rayCount;
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
