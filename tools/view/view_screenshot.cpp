#include "tools/view/view_screenshot.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "tools/common/image_file.h"

namespace vantrel {

namespace {

constexpr int maxShotNumber = 99999;

// Creates the first free <stem>-view-<n>.png in folder, empty, so that
// nobody else takes the name meanwhile. 0, or the errno that stopped it.
int reserveName(const std::string& folder, const std::string& stem, std::string& path) {
    for (int n = 1; n <= maxShotNumber; ++n) {
        path = folder + "/" + stem + "-view-" + std::to_string(n) + ".png";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

bool refusesNewFiles(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

std::string absolute(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

} // namespace

bool writeViewScreenshot(const std::string& modelPath, const std::string& fallbackFolder,
                         const RenderTarget& target, Screenshot& shot, std::string& error) {
    const size_t slash = modelPath.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : modelPath.substr(0, slash);
    std::string stem = slash == std::string::npos ? modelPath : modelPath.substr(slash + 1);
    const size_t dot = stem.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        stem.resize(dot);

    std::string path;
    shot.fellBack = false;
    int failure = reserveName(folder, stem, path);
    if (failure != 0 && refusesNewFiles(failure)) {
        shot.fellBack = true;
        failure = reserveName(fallbackFolder, stem, path);
    }
    if (failure != 0) {
        error = "cannot create '" + path + "': " + std::strerror(failure);
        return false;
    }
    std::string reason;
    if (!writeImage(path.c_str(), ImageFormat::Png, target.pixels, target.width, target.height,
                    &reason)) {
        ::unlink(path.c_str());
        error = "cannot write '" + path + "'" + (reason.empty() ? "" : ": " + reason);
        return false;
    }
    shot.path = absolute(path);
    return true;
}

} // namespace vantrel
