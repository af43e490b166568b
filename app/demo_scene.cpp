#include "vantrel/app/demo_scene.h"

#include "vantrel/app/random.h"
#include "vantrel/app/shell_state.h"
#include "vantrel/kdtree/build.h"
#include "vantrel/tracer/camera.h"

namespace vantrel {

namespace {

constexpr uint32_t demoPixelBytes = 0x90000; // 512 * 384 * 3

void showCaption(CaptionSink setCaption, const char* text) {
    if (setCaption)
        setCaption(text);
}

} // namespace

void fillDemoSpheres(Sphere* spheres, PrimitiveRef* refs, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        // Ten draws per sphere, in this order, so the scene is the same on
        // every run.
        const float r1 = randomUnit();
        const float r2 = randomUnit();
        const float r3 = randomUnit();
        const float r4 = randomUnit();
        const float r5 = randomUnit();
        const float r6 = randomUnit();
        const float r7 = randomUnit();
        const float r8 = randomUnit();
        const float r9 = randomUnit();
        const float r10 = randomUnit();

        // An anchor anywhere in the cube, blurred by up to one unit per axis.
        const float ax = r1 * 20 - 10;
        const float ay = r2 * 20 - 10;
        const float az = r3 * 20 - 10;
        Sphere& sphere = spheres[i];
        sphere.centre.x = static_cast<float>(ax + (r4 * 20 - 10) * 0.1);
        sphere.centre.y = static_cast<float>(ay + (r5 * 20 - 10) * 0.1);
        sphere.centre.z = static_cast<float>(az + (r6 * 20 - 10) * 0.1);
        sphere.radius = (r7 + 0.25f) * 0.5f;
        sphere.material.red = r8;
        sphere.material.green = r9;
        sphere.material.blue = r10;
        sphere.material.reserved = 0.0f; // read by nobody; zero rather than indeterminate
        refs[i] = {&sphere, PrimitiveType::Sphere};
    }
}

void buildDemoScene(CaptionSink setCaption) {
    renderTarget.pixels = new uint8_t[demoPixelBytes];
    renderTarget.width = demoWidth;
    renderTarget.height = demoHeight;
    buildRayTable(renderTarget, {1.0f, 1.3333334f, 1.0f});

    PrimitiveList buildList = {new PrimitiveRef[demoSphereCount], demoSphereCount};
    sphereArray = new Sphere[demoSphereCount];
    fillDemoSpheres(sphereArray, buildList.items, demoSphereCount);

    showCaption(setCaption, "compiling kd tree...");
    buildKdTree(&compiledTree, &buildList, 0);
    showCaption(setCaption, "done! cleaning up...");

    // The tree keeps copies of the references it needs; only the spheres
    // themselves must stay in place.
    delete[] buildList.items;

    topLevelList.items = new PrimitiveRef[1]{{compiledTree, PrimitiveType::NestedTree}};
    topLevelList.count = 1;
}

} // namespace vantrel
