#include "tools/bench/bench_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

bool failWithSystemError(std::string& error) {
    error = std::strerror(errno);
    return false;
}

} // namespace

bool canCreateOutput(const char* path, std::string& error) {
    struct stat status;
    if (::stat(path, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            error = std::strerror(EISDIR);
            return false;
        }
        if (!S_ISREG(status.st_mode))
            return true;
        // Opened for writing without truncation: the file keeps its content
        // until the frame is there to replace it.
        const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return failWithSystemError(error);
        ::close(fd);
        return true;
    }
    if (errno != ENOENT)
        return failWithSystemError(error);
    // Made here, so it is ours to remove again.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return failWithSystemError(error);
    ::close(fd);
    ::unlink(path);
    return true;
}

bool closeStandardOutput(std::string& error) {
    errno = 0;
    bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
    int reason = errno;
    if (std::fclose(stdout) != 0) {
        written = false;
        reason = reason != 0 ? reason : errno;
    }
    if (!written)
        error = reason != 0 ? std::strerror(reason) : "a write failed";
    return written;
}

} // namespace vantrel
