// Why the triangle loader gave no list, for callers that tell a user.
#pragma once

#include <cstdint>
#include <string>

#include "vantrel/scene/regular_file.h"

namespace vantrel {

enum class MeshLoadError {
    None,
    CannotOpen,       // systemError says why
    NotRegularFile,   // kind says what it is; refused before it was opened
    BadToken,         // token, on line, is not a number
    ReadFailed,       // systemError says why
    Changed,          // the second pass did not read what the first counted
    TooManyTriangles, // more than the caller's bound or a list can hold
    UnknownFormat,    // a selector with no loader
};

struct MeshLoadFailure {
    MeshLoadError error = MeshLoadError::None;
    int systemError = 0;
    FileKind kind = FileKind::Unknown;
    uint64_t line = 0; // from 1; 0 when it could not be found again
    std::string token; // printable, cut short when long
};

// One clause for people, without the file's name: "line 3: 'x' is not a number".
std::string describeMeshLoadFailure(const MeshLoadFailure& failure);

} // namespace vantrel
