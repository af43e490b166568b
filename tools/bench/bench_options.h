// Command line of the benchmark program.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/image_file.h"
#include "tools/common/image_kind.h"
#include "tools/common/options.h"
#include "tools/common/orbit.h"
#include "vantrel/tracer/kernel.h"

namespace vantrel {

constexpr uint32_t benchMaxSpheres = 10000000;
constexpr uint32_t benchMaxThreads = 1024;

// What the frames are traced through: the renderer's kd-tree, or the
// queries' hierarchy (the queries' triangle test, no size bound).
enum class BenchAccel { KdTree, Hierarchy };

struct BenchOptions {
    uint32_t sphereCount;
    int32_t method;
    BenchAccel accel;    // the kd-tree for the spheres and with --method, else the hierarchy
    bool modelLight;     // frames of the hierarchy lit as the viewer lights them
    uint32_t frameCount; // the first frames of the orbit, unless singleFrame
    bool singleFrame;    // render only the frame at frameAtMs
    int32_t frameAtMs;
    std::string outPath; // empty: write no image
    ImageFormat outFormat;
    std::string meshPath; // empty: trace the demo spheres
    bool meshAsIs;        // keep the mesh's coordinates instead of placing it
    Kernel kernel;        // the processor's best unless given
    uint32_t threads;     // 0: one per core; 1: the window's own renderer
    bool json;
    uint32_t width; // of the image, in pixels
    uint32_t height;
    bool fixedCamera; // every frame from camera rather than the orbit
    float camera[7];  // eye x, y, z, target x, y, z, vertical field of view (degrees)
    bool pixelGiven;  // print the ray of pixel (pixelX, pixelY) and its hit
    uint32_t pixelX;
    uint32_t pixelY;
    ImageKind image;
};

constexpr uint32_t benchMaxSide = 8192;

BenchOptions defaultBenchOptions();

// On Error, error holds one line for the user, without the program name.
ParseOutcome parseBenchOptions(int argc, const char* const* argv, BenchOptions& options,
                               std::string& error);

// How many frames to render, and the clock value of each, in order.
uint32_t benchFrameCount(const BenchOptions& options);
int32_t benchFrameClock(const BenchOptions& options, uint32_t frame);

const char* benchUsage();

} // namespace vantrel
