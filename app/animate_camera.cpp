#include "vantrel/app/clock.h"
#include "vantrel/app/shell_state.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/render.h"

namespace vantrel {

void animateCamera() {
    renderFrame(topLevelList, renderTarget, cameraMatrixAt(clockTicks()));
}

} // namespace vantrel
