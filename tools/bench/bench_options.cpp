#include "tools/bench/bench_options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "vantrel/app/demo_scene.h"
#include "vantrel/tracer/camera.h"
#include "vantrel/tracer/render_target.h"

namespace vantrel {

namespace {

// count numbers separated by 'separator', each finite; nothing else.
bool parseNumbers(const std::string& text, char separator, size_t count, float* values) {
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const size_t end = i + 1 < count ? text.find(separator, at) : text.size();
        if (end == std::string::npos || end == at)
            return false;
        const std::string part = text.substr(at, end - at);
        char* rest = nullptr;
        values[i] = std::strtof(part.c_str(), &rest);
        if (*rest != '\0' || !std::isfinite(values[i]) || std::isspace(part[0]))
            return false;
        at = end + 1;
    }
    return true;
}

// Two whole numbers from 1 to benchMaxSide, or from 0 when fromZero.
bool parsePair(const std::string& text, char separator, bool fromZero, uint32_t& a, uint32_t& b) {
    const size_t split = text.find(separator);
    uint64_t first = 0;
    uint64_t second = 0;
    if (split == std::string::npos || !parseCount(text.substr(0, split), benchMaxSide, first) ||
        !parseCount(text.substr(split + 1), benchMaxSide, second) ||
        (!fromZero && (first == 0 || second == 0)))
        return false;
    a = static_cast<uint32_t>(first);
    b = static_cast<uint32_t>(second);
    return true;
}

OptionNames benchOptionNames() {
    return {{"--help", "--json", "--version"},
            {"--spheres", "--method", "--accel", "--light", "--frames", "--frame-at", "--out",
             "--mesh", "--mesh-as-is", "--kernel", "--threads", "--size", "--camera", "--pixel",
             "--image"}};
}

} // namespace

BenchOptions defaultBenchOptions() {
    BenchOptions options{};
    options.sphereCount = demoSphereCount;
    options.method = 0;
    options.frameCount = orbitFrameCount;
    options.outFormat = ImageFormat::Png;
    options.kernel = bestKernel();
    // One thread, as the window renders: figures that compare with its
    // caption and with earlier runs, and that other work on a shared
    // machine moves least.
    options.threads = 1;
    options.width = demoWidth;
    options.height = demoHeight;
    return options;
}

ParseOutcome parseBenchOptions(int argc, const char* const* argv, BenchOptions& options,
                               std::string& error) {
    options = defaultBenchOptions();
    bool spheresGiven = false;
    bool framesGiven = false;
    bool methodGiven = false;
    bool accelGiven = false;
    BenchAccel accel = BenchAccel::KdTree;
    const OptionNames optionNames = benchOptionNames();
    Arguments arguments{argc, argv};
    Argument argument;
    while (nextArgument(arguments, optionNames, argument, error)) {
        const std::string& name = argument.name;
        if (argument.operand)
            return fail(error, "unexpected argument '" + name + "' (see --help)");
        if (name == "--help")
            return ParseOutcome::Help;
        if (name == "--version")
            return ParseOutcome::Version;
        if (name == "--json") {
            options.json = true;
            continue;
        }
        const std::string& value = argument.value;

        uint64_t number = 0;
        if (name == "--spheres") {
            if (!parseCount(value, benchMaxSpheres, number))
                return fail(error, "--spheres takes a count from 0 to " +
                                       std::to_string(benchMaxSpheres) + ", not '" + value + "'");
            options.sphereCount = static_cast<uint32_t>(number);
            spheresGiven = true;
        } else if (name == "--method") {
            if (!parseCount(value, 2, number))
                return fail(error, "--method takes 0, 1 or 2, not '" + value + "'");
            options.method = static_cast<int32_t>(number);
            methodGiven = true;
        } else if (name == "--light") {
            if (value != "renderer" && value != "model")
                return fail(error, "--light takes renderer or model, not '" + value + "'");
            options.modelLight = value == "model";
        } else if (name == "--accel") {
            if (value != "kd" && value != "bvh")
                return fail(error, "--accel takes kd or bvh, not '" + value + "'");
            accelGiven = true;
            accel = value == "kd" ? BenchAccel::KdTree : BenchAccel::Hierarchy;
        } else if (name == "--frames") {
            if (!parseCount(value, orbitFrameCount, number) || number == 0)
                return fail(error, "--frames takes a count from 1 to " +
                                       std::to_string(orbitFrameCount) + ", not '" + value + "'");
            options.frameCount = static_cast<uint32_t>(number);
            framesGiven = true;
        } else if (name == "--frame-at") {
            if (!parseCount(value, INT32_MAX, number))
                return fail(error,
                            "--frame-at takes a clock value in milliseconds, not '" + value + "'");
            options.frameAtMs = static_cast<int32_t>(number);
            options.singleFrame = true;
        } else if (name == "--out") {
            if (!imageFormatForPath(value.c_str(), options.outFormat))
                return fail(error,
                            "--out needs a file name ending in .png or .ppm, not '" + value + "'");
            options.outPath = value;
        } else if (name == "--threads") {
            if (!parseCount(value, benchMaxThreads, number))
                return fail(error, "--threads takes a count from 0 (one per core) to " +
                                       std::to_string(benchMaxThreads) + ", not '" + value + "'");
            options.threads = static_cast<uint32_t>(number);
        } else if (name == "--size") {
            if (!parsePair(value, 'x', false, options.width, options.height))
                return fail(error, "--size takes WIDTHxHEIGHT, each from 1 to " +
                                       std::to_string(benchMaxSide) + ", not '" + value + "'");
        } else if (name == "--camera") {
            float* c = options.camera;
            if (!parseNumbers(value, ',', 7, c) || !(c[6] > 0.0f && c[6] < 180.0f) ||
                (c[0] == c[3] && c[1] == c[4] && c[2] == c[5]))
                return fail(error, "--camera takes EX,EY,EZ,TX,TY,TZ,FOV: an eye, a target "
                                   "apart from it and a vertical field of view between 0 and "
                                   "180 degrees, not '" +
                                       value + "'");
            if (!cameraCanLookAt({c[0], c[1], c[2]}, {c[3], c[4], c[5]}))
                return fail(error, "--camera: the eye and the target are too far apart or too "
                                   "close for a camera to aim from one at the other (their "
                                   "distance must be from 1e-19 to 1.8e19), in '" +
                                       value + "'");
            options.fixedCamera = true;
        } else if (name == "--pixel") {
            if (!parsePair(value, ',', true, options.pixelX, options.pixelY))
                return fail(error, "--pixel takes X,Y, not '" + value + "'");
            options.pixelGiven = true;
        } else if (name == "--image") {
            const ImageKind kinds[] = {ImageKind::Colour, ImageKind::Colour, ImageKind::Depth,
                                       ImageKind::Normal, ImageKind::Id};
            const char* kindNames[] = {"color", "colour", "depth", "normal", "id"};
            size_t k = 0;
            while (k < 5 && value != kindNames[k])
                ++k;
            if (k == 5)
                return fail(error, "--image takes color, depth, normal or id, not '" + value + "'");
            options.image = kinds[k];
        } else if (name == "--kernel") {
            if (!kernelNamed(value.c_str(), options.kernel))
                return fail(error, "--kernel takes scalar, avx2 or avx512, not '" + value + "'");
            if (!kernelAvailable(options.kernel))
                return fail(error, "this processor does not run the " + value + " kernel");
        } else { // --mesh, --mesh-as-is
            if (value.empty())
                return fail(error, name + " needs a file name");
            if (!options.meshPath.empty())
                return fail(error, "give one of --mesh and --mesh-as-is, once");
            options.meshPath = value;
            options.meshAsIs = name == "--mesh-as-is";
        }
    }
    if (!error.empty())
        return ParseOutcome::Error;
    if (options.pixelGiven && (options.pixelX >= options.width || options.pixelY >= options.height))
        return fail(error, "--pixel " + std::to_string(options.pixelX) + "," +
                               std::to_string(options.pixelY) + " lies outside the " +
                               std::to_string(options.width) + "x" +
                               std::to_string(options.height) + " image");
    if (framesGiven && options.singleFrame)
        return fail(error, "--frames and --frame-at cannot be combined");
    if (spheresGiven && !options.meshPath.empty())
        return fail(error, "--spheres and --mesh cannot be combined");
    if (methodGiven && accelGiven && accel == BenchAccel::Hierarchy)
        return fail(error, "--method is the kd-tree's: it cannot be combined with --accel bvh");
    // Meshes through the hierarchy unless a kd-tree is asked for; the
    // spheres, the demo's scene, through the demo's kd-tree.
    if (options.modelLight && accelGiven && accel == BenchAccel::KdTree)
        return fail(error, "--light model lights frames of the hierarchy: not with --accel kd");
    options.accel = accelGiven                                ? accel
                    : methodGiven || options.meshPath.empty() ? BenchAccel::KdTree
                                                              : BenchAccel::Hierarchy;
    return ParseOutcome::Run;
}

uint32_t benchFrameCount(const BenchOptions& options) {
    return options.singleFrame ? 1 : options.frameCount;
}

int32_t benchFrameClock(const BenchOptions& options, uint32_t frame) {
    return options.singleFrame ? options.frameAtMs : orbitFrameClock(frame);
}

const char* benchUsage() {
    return "Usage: vantrel-bench [options]\n"
           "Builds the demo scene, renders the camera orbit (25 frames at clock values\n"
           "0, 2500, ..., 60000 ms, 512x384) and prints the kd-tree build time, the tree's\n"
           "figures, the render speed and the peak memory. The build is not timed as render.\n"
           "\n"
           "  --spheres N     trace the first N spheres of the demo generator\n"
           "                  (0 to 10000000; default 250000), as many as the build's\n"
           "                  memory budget holds at 2.5 KiB a sphere\n"
           "  --method M      kd-tree split method: 0 midpoint, 1 cost-driven,\n"
           "                  2 cost-driven with the empty-side rule (default 0);\n"
           "                  implies --accel kd\n"
           "  --accel A       what the frames are traced through: kd, the renderer's\n"
           "                  kd-tree (the default for the spheres), or bvh, the queries'\n"
           "                  hierarchy, built on the --threads threads, with their\n"
           "                  triangle test, which has no size bound (the default for\n"
           "                  --mesh and --mesh-as-is)\n"
           "  --frames K      render the first K frames of the orbit (1 to 25; default 25)\n"
           "  --frame-at MS   render only the frame at clock value MS milliseconds\n"
           "  --out FILE      write the last frame rendered; FILE ends in .png or .ppm\n"
           "                  (binary P6)\n"
           "  --mesh FILE     trace the triangles of FILE, compiled with the chosen method,\n"
           "                  instead of the spheres. The extension picks the reader:\n"
           "                  .obj, .ply, .stl, .off, .gltf, .glb and the other formats\n"
           "                  of the mesh importer, where it is built; the nine-number\n"
           "                  text format (.tri) for every other name.\n"
           "                  The mesh is placed where the spheres are: centred on the\n"
           "                  origin, scaled to a largest half-extent of 11. The triangle\n"
           "                  test never hits a triangle with |e1 x e2| below 0.001, a\n"
           "                  bound on its size, so a model a few units across would\n"
           "                  otherwise mostly vanish.\n"
           "  --mesh-as-is FILE  the same with the file's coordinates kept; the orbit\n"
           "                  then circles the centre of the mesh's bounding box, its\n"
           "                  distances scaled by the box's largest half-extent over 11.\n"
           "  --light L       how frames of the hierarchy are lit: renderer (its light and\n"
           "                  ambient, the default) or model (a light from the camera,\n"
           "                  as the viewer and Python's render light a model)\n"
           "  --kernel K      the instruction set of the leaf tests and packet walks:\n"
           "                  scalar, avx2 or avx512 (default: the best this processor\n"
           "                  runs). Every kernel renders the same pixels.\n"
           "  --threads N     render each frame on N threads, tiles handed out as\n"
           "                  threads come free; 0 for one per core (default 1: the\n"
           "                  window's renderer, on one thread as the program runs).\n"
           "                  Every thread count renders the same pixels.\n"
           "  --size WxH      the image's size in pixels (default 512x384)\n"
           "  --camera EX,EY,EZ,TX,TY,TZ,FOV\n"
           "                  every frame from an eye at EX,EY,EZ looking at TX,TY,TZ,\n"
           "                  y up, with a vertical field of view of FOV degrees,\n"
           "                  instead of the orbit\n"
           "  --image KIND    what the pixels show: color (the renderer's shading, the\n"
           "                  default), or through the ray queries, whose triangle test\n"
           "                  has no size bound, depth, normal or id (the primitive hit)\n"
           "  --pixel X,Y     print the ray of pixel X,Y (0,0 top left) in the last frame\n"
           "                  and what it hits\n"
           "  --json          print the figures, and the run's settings, as one JSON object\n"
           "  --help          print this help\n"
           "  --version       print the version\n"
           "\n"
           "Options take their value as the next argument or after '='. While it works,\n"
           "a terminal on standard error shows the current step (not with --json).\n"
           "The kd-tree build may take half the machine's memory, or what the\n"
           "address-space limit leaves; a build that would take more is stopped.\n"
           "Warnings (triangles left out, without area or too small to hit, a black\n"
           "frame) go to standard error. The camera frames the triangles a ray can hit.\n"
           "A frame larger than the memory left is refused before anything is built.\n"
           "Exit status: 0 done; 1 the mesh, the image file, standard output or the\n"
           "build's memory failed; 2 bad options.\n";
}

} // namespace vantrel
