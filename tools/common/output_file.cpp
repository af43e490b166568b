#include "tools/common/output_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

bool systemFailure(std::string& error, int reason = errno) {
    error = std::strerror(reason);
    return false;
}

// The file a name finally means: a symbolic link is followed, so that
// replacing the file keeps the link.
std::string resolvedTarget(const char* path) {
    char resolved[PATH_MAX];
    struct stat status;
    if (::lstat(path, &status) == 0 && S_ISLNK(status.st_mode) && ::realpath(path, resolved))
        return resolved;
    return path;
}

enum class Place { Replace, Create, InPlace };

// How the output at target is to be written; false, with the reason, when
// it cannot be.
bool placeFor(const std::string& target, Place& place, struct stat& status, std::string& error) {
    if (::stat(target.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return systemFailure(error);
        place = Place::Create;
        return true;
    }
    if (S_ISDIR(status.st_mode))
        return systemFailure(error, EISDIR);
    if (!S_ISREG(status.st_mode)) {
        place = Place::InPlace;
        return true;
    }
    // A file the user may not write is not replaced behind their back.
    if (::access(target.c_str(), W_OK) != 0)
        return systemFailure(error);
    place = Place::Replace;
    return true;
}

// A new file beside target, created here (so only ours to remove), with
// the mode the target has or a new file would get.
int createTemporary(const std::string& target, Place place, const struct stat& status,
                    std::string& temporary) {
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    std::vector<char> pattern(folder.begin(), folder.end());
    const std::string tail = "." + name + ".XXXXXX";
    pattern.insert(pattern.end(), tail.begin(), tail.end());
    pattern.push_back('\0');
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0)
        return fd;
    temporary = pattern.data();
    mode_t mode;
    if (place == Place::Replace) {
        mode = status.st_mode & 07777;
        // Best effort: a file keeps its owner where the user may give it.
        const bool owned = ::fchown(fd, status.st_uid, status.st_gid) == 0;
        (void)owned;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    ::fchmod(fd, mode);
    return fd;
}

} // namespace

bool openOutput(const char* path, OutputFile& out, std::string& error) {
    out = OutputFile{};
    out.target = resolvedTarget(path);
    Place place;
    struct stat status;
    if (!placeFor(out.target, place, status, error))
        return false;
    if (place == Place::InPlace) {
        out.stream = std::fopen(out.target.c_str(), "wb");
        return out.stream ? true : systemFailure(error);
    }
    const int fd = createTemporary(out.target, place, status, out.temporary);
    if (fd < 0)
        return systemFailure(error);
    out.stream = ::fdopen(fd, "wb");
    if (!out.stream) {
        const int reason = errno;
        ::close(fd);
        ::unlink(out.temporary.c_str());
        return systemFailure(error, reason);
    }
    return true;
}

bool finishOutput(OutputFile& out, bool written, std::string& error) {
    int reason = written ? 0 : errno;
    if (std::fflush(out.stream) != 0 || std::ferror(out.stream)) {
        written = false;
        reason = reason != 0 ? reason : errno;
    }
    // A full disk may show only now, on the final flush or on close.
    if (std::fclose(out.stream) != 0 && written) {
        written = false;
        reason = errno;
    }
    out.stream = nullptr;
    if (written && !out.temporary.empty() &&
        std::rename(out.temporary.c_str(), out.target.c_str()) != 0) {
        written = false;
        reason = errno;
    }
    if (!written) {
        if (!out.temporary.empty())
            ::unlink(out.temporary.c_str());
        error = reason != 0 ? std::strerror(reason) : "a write failed";
    }
    out.temporary.clear();
    return written;
}

bool canWriteOutput(const char* path, std::string& error) {
    const std::string target = resolvedTarget(path);
    Place place;
    struct stat status;
    if (!placeFor(target, place, status, error))
        return false;
    // A device or a FIFO is left to the write: opening a FIFO would wait.
    if (place == Place::InPlace)
        return true;
    std::string temporary;
    const int fd = createTemporary(target, place, status, temporary);
    if (fd < 0)
        return systemFailure(error);
    ::close(fd);
    ::unlink(temporary.c_str());
    return true;
}

} // namespace vantrel
