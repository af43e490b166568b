// The files an import opens: the model and what it names (materials,
// buffers). Only regular files, so that a FIFO or a device never holds or
// feeds the import, and only inside the model's folder, so that a name in a
// file cannot reach the rest of the machine.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vantrel {

struct ModelFolder {
    std::string model; // the model's path as given
    std::string root;  // its folder, symbolic links resolved, with a slash
};

// The folder of the model at path. False, with the reason, when it cannot
// be found.
bool findModelFolder(const char* path, ModelFolder& folder, std::string& error);

// Opens path for reading ("rb") when it is the model or a regular file in
// its folder (or below), its size in size. Null otherwise, with the reason
// in error: the system's, or what the path is instead of a regular file, or
// that it lies outside the model's folder.
std::FILE* openModelFile(const ModelFolder& folder, const std::string& path, uint64_t& size,
                         std::string& error);

} // namespace vantrel
