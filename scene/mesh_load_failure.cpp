#include "vantrel/scene/mesh_load_failure.h"

#include <cstring>

namespace vantrel {

std::string describeMeshLoadFailure(const MeshLoadFailure& failure) {
    switch (failure.error) {
    case MeshLoadError::None:
        return "no failure";
    case MeshLoadError::CannotOpen:
        return std::strerror(failure.systemError);
    case MeshLoadError::NotRegularFile:
        return std::string("it is ") + describeFileKind(failure.kind) + ", not a regular file";
    case MeshLoadError::BadToken: {
        const std::string what = "'" + failure.token + "' is not a number";
        return failure.line == 0 ? what : "line " + std::to_string(failure.line) + ": " + what;
    }
    case MeshLoadError::ReadFailed:
        return std::string("reading failed: ") + std::strerror(failure.systemError);
    case MeshLoadError::Changed:
        return "the file changed while it was read";
    case MeshLoadError::TooManyTriangles:
        return "it holds more triangles than allowed";
    case MeshLoadError::UnknownFormat:
        return "no loader for that format";
    }
    return "unknown failure";
}

} // namespace vantrel
