// The demo: 250,000 random coloured spheres compiled into a kd-tree.
#pragma once

#include <cstdint>

#include "vantrel/scene/records.h"

namespace vantrel {

constexpr uint32_t demoSphereCount = 250000;
constexpr uint32_t demoWidth = 512;
constexpr uint32_t demoHeight = 384;

// Receives the progress captions shown around the tree build.
using CaptionSink = void (*)(const char* caption);

// Fills count spheres from the generator, ten draws each, and entry i of refs
// with (sphere i, Sphere).
void fillDemoSpheres(Sphere* spheres, PrimitiveRef* refs, uint32_t count);

// Sets up renderTarget, its ray table, sphereArray, compiledTree and
// topLevelList. setCaption may be null (headless use).
void buildDemoScene(CaptionSink setCaption = nullptr);

} // namespace vantrel
