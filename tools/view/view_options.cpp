#include "tools/view/view_options.h"

namespace vantrel {

namespace {

// Decimal digits only: no sign, no blanks, no trailing text.
bool parseCount(const std::string& text, uint32_t max, uint32_t& value) {
    if (text.empty())
        return false;
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
        if (result > max)
            return false;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

ViewParse fail(std::string& error, const std::string& message) {
    error = message;
    return ViewParse::Error;
}

} // namespace

ViewParse parseViewOptions(int argc, const char* const* argv, ViewOptions& options,
                           std::string& error) {
    options = ViewOptions{};
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
            if (!options.meshPath.empty())
                return fail(error, "give one mesh file, not '" + options.meshPath + "' and '" +
                                       argument + "'");
            if (argument.empty())
                return fail(error, "the mesh file's name is empty");
            options.meshPath = argument;
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = argument.find('=');
        const std::string name = argument.substr(0, equals);
        if (name == "--help" || name == "-h") {
            if (equals != std::string::npos)
                return fail(error, name + " takes no value");
            return ViewParse::Help;
        }
        if (name != "--method" && name != "--threads")
            return fail(error, "unknown option '" + name + "' (see --help)");
        std::string value;
        if (equals != std::string::npos) {
            value = argument.substr(equals + 1);
        } else {
            if (i + 1 >= argc)
                return fail(error, name + " needs a value");
            value = argv[++i];
        }
        uint32_t number = 0;
        if (name == "--method") {
            if (!parseCount(value, 2, number))
                return fail(error, "--method takes 0, 1 or 2, not '" + value + "'");
            options.method = static_cast<int32_t>(number);
        } else {
            if (!parseCount(value, viewMaxThreads, number))
                return fail(error, "--threads takes a count from 0 (every core) to " +
                                       std::to_string(viewMaxThreads) + ", not '" + value + "'");
            options.threads = number;
        }
    }
    if (options.meshPath.empty())
        return fail(error, "give a mesh file to view (see --help)");
    return ViewParse::Run;
}

const char* viewUsage() {
    return "Usage: vantrel-view [options] FILE\n"
           "Opens the triangle mesh in FILE in a window and renders it, frame after frame,\n"
           "from a camera that the mouse and the keys move. FILE is read as the benchmark's\n"
           "--mesh reads it: .obj, .ply, .stl, .off, .gltf and .glb through the mesh\n"
           "importer, where it is built; the nine-number text format (.tri) for any other\n"
           "name. The model is centred and scaled to a largest half-extent of 11, as the\n"
           "benchmark's --mesh places it, and framed so that all of it is in view.\n"
           "\n"
           "  --method M    kd-tree split method: 0 midpoint, 1 cost-driven,\n"
           "                2 cost-driven with the empty-side rule (default 0)\n"
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
