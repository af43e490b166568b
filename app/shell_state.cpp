#include "vantrel/app/shell_state.h"

namespace vantrel {

RenderTarget renderTarget;
PrimitiveList topLevelList;
Sphere* sphereArray;
KdTree* compiledTree;

void releaseScene() {
    // Null after release, so a second call is harmless.
    delete[] sphereArray;
    sphereArray = nullptr;
    delete[] topLevelList.items;
    topLevelList.items = nullptr;
    topLevelList.count = 0;
    delete[] renderTarget.pixels;
    renderTarget.pixels = nullptr;
}

} // namespace vantrel
