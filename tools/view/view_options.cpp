#include "tools/view/view_options.h"

namespace vantrel {

ParseOutcome parseViewOptions(int argc, const char* const* argv, ViewOptions& options,
                              std::string& error) {
    options = ViewOptions{};
    options.method = noMethod;
    const OptionNames names{{"--help", "-h"}, {"--method", "--threads"}};
    Arguments arguments{argc, argv};
    Argument argument;
    while (nextArgument(arguments, names, argument, error)) {
        if (argument.operand) {
            if (!options.meshPath.empty())
                return fail(error, "give one mesh file, not '" + options.meshPath + "' and '" +
                                       argument.name + "'");
            if (argument.name.empty())
                return fail(error, "the mesh file's name is empty");
            options.meshPath = argument.name;
            continue;
        }
        if (argument.name == "--help" || argument.name == "-h")
            return ParseOutcome::Help;
        const std::string& value = argument.value;
        uint64_t number = 0;
        if (argument.name == "--method") {
            if (!parseCount(value, 2, number))
                return fail(error, "--method takes 0, 1 or 2, not '" + value + "'");
            options.method = static_cast<int32_t>(number);
        } else {
            if (!parseCount(value, viewMaxThreads, number))
                return fail(error, "--threads takes a count from 0 (every core) to " +
                                       std::to_string(viewMaxThreads) + ", not '" + value + "'");
            options.threads = static_cast<uint32_t>(number);
        }
    }
    if (!error.empty())
        return ParseOutcome::Error;
    if (options.meshPath.empty())
        return fail(error, "give a mesh file to view (see --help)");
    return ParseOutcome::Run;
}

const char* viewUsage() {
    return "Usage: vantrel-view [options] FILE\n"
           "Opens the triangle mesh in FILE in a window and renders it, frame after frame,\n"
           "from a camera that the mouse and the keys move. FILE is read as the benchmark's\n"
           "--mesh reads it: .obj, .ply, .stl, .off, .gltf and .glb through the mesh\n"
           "importer, where it is built; the nine-number text format (.tri) for any other\n"
           "name. The model is shown where its file puts it, whatever its size, through\n"
           "the queries' hierarchy built on every core, lit from the camera, and framed\n"
           "so that all of it is in view.\n"
           "\n"
           "  --method M    render through the renderer's kd-tree instead, built with\n"
           "                split method M: 0 midpoint, 1 cost-driven, 2 cost-driven with\n"
           "                the empty-side rule; the model is then centred and scaled to\n"
           "                a largest half-extent of 11, as the benchmark's --mesh places it\n"
           "  --threads N   threads that render each frame, 0 for one per core\n"
           "                (default 0)\n"
           "  --help        print this help\n"
           "\n"
           "Controls:\n"
           "  left drag                  orbit around the model's centre\n"
           "  right drag up/down, wheel  zoom in and out\n"
           "  middle drag, Shift+drag    pan\n"
           "  arrows or W A S D          move forward, back, left and right\n"
           "  R                          reset the view\n"
           "  F                          frame rate and Mrays/s in the caption, on or off\n"
           "  P                          write the image as PNG beside the model (in the\n"
           "                             working directory when that folder is read-only)\n"
           "                             and print its path\n"
           "  Escape, closing the window quit\n"
           "\n"
           "Exit status: 0 done; 1 the mesh was refused, or no window could be opened;\n"
           "2 bad options.\n";
}

} // namespace vantrel
