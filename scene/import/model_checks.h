// What each format's reader in the import library would do with a file,
// worked out before it reads it: counts a header declares against what the
// file can hold, so that a few bytes cannot ask for gigabytes; what the
// reader would silently clamp, drop or misread; nesting deep enough to
// overflow its recursion. Each check reads the file once, holding little
// more than one line, and gives an estimate of what the library will take.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "vantrel/scene/import/model_file.h"

namespace vantrel {

struct ModelCheck {
    std::string error;     // why the file is refused; empty when it may be read
    uint64_t libraryBytes; // at most what the library will allocate reading it
};

// The file is open at its start; size is its length in bytes.
ModelCheck checkOffModel(std::FILE* file, uint64_t size);
ModelCheck checkPlyModel(std::FILE* file, uint64_t size);
ModelCheck checkStlModel(std::FILE* file, uint64_t size);
// glb: the binary container. The buffers the file names are looked at
// through folder.
ModelCheck checkGltfModel(std::FILE* file, uint64_t size, bool glb, const ModelFolder& folder);

// Bytes the library takes for every byte of a file it reads, at most, for
// the formats whose checks count nothing finer: measured 1.7 to 5 on large
// files of every format, the file's own buffer included.
constexpr uint64_t libraryBytesPerFileByte = 8;

} // namespace vantrel
