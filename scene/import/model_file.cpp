#include "vantrel/scene/import/model_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>

#include "vantrel/scene/regular_file.h"

namespace vantrel {

namespace {

bool systemFailure(std::string& error, int reason) {
    error = std::strerror(reason);
    return false;
}

} // namespace

bool findModelFolder(const char* path, ModelFolder& folder, std::string& error) {
    folder.model = path;
    const size_t slash = folder.model.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : folder.model.substr(0, slash + 1);
    char resolved[PATH_MAX];
    if (!::realpath(dir.c_str(), resolved))
        return systemFailure(error, errno);
    folder.root = resolved;
    if (folder.root.back() != '/')
        folder.root += '/';
    return true;
}

std::FILE* openModelFile(const ModelFolder& folder, const std::string& path, uint64_t& size,
                         std::string& error) {
    // The model itself may be a link to anywhere: the user named it.
    if (path != folder.model) {
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) {
            systemFailure(error, errno);
            return nullptr;
        }
        if (std::strncmp(resolved, folder.root.c_str(), folder.root.size()) != 0) {
            error = "it lies outside the model's folder";
            return nullptr;
        }
    }
    FileKind kind;
    int systemError = 0;
    std::FILE* file = openRegularFile(path.c_str(), kind, systemError);
    if (!file) {
        if (kind == FileKind::Unknown)
            systemFailure(error, systemError);
        else
            error = std::string("it is ") + describeFileKind(kind) + ", not a regular file";
        return nullptr;
    }
    struct stat status;
    size = ::fstat(fileno(file), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
    return file;
}

} // namespace vantrel
