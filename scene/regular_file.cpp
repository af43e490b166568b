#include "vantrel/scene/regular_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vantrel {

namespace {

FileKind kindOf(mode_t mode) {
    if (S_ISREG(mode))
        return FileKind::Regular;
    if (S_ISDIR(mode))
        return FileKind::Directory;
    if (S_ISFIFO(mode))
        return FileKind::Fifo;
    if (S_ISSOCK(mode))
        return FileKind::Socket;
    if (S_ISCHR(mode))
        return FileKind::CharacterDevice;
    if (S_ISBLK(mode))
        return FileKind::BlockDevice;
    return FileKind::Other;
}

} // namespace

FileKind fileKindAt(const char* path, int& systemError) {
    struct stat status;
    if (::stat(path, &status) != 0) {
        systemError = errno;
        return FileKind::Unknown;
    }
    return kindOf(status.st_mode);
}

const char* describeFileKind(FileKind kind) {
    switch (kind) {
    case FileKind::Regular:
        return "a regular file";
    case FileKind::Directory:
        return "a directory";
    case FileKind::Fifo:
        return "a FIFO";
    case FileKind::Socket:
        return "a socket";
    case FileKind::CharacterDevice:
        return "a character device";
    case FileKind::BlockDevice:
        return "a block device";
    default:
        return "not a file";
    }
}

std::FILE* openRegularFile(const char* path, FileKind& kind, int& systemError) {
    kind = fileKindAt(path, systemError);
    if (kind != FileKind::Regular)
        return nullptr;
    // Without waiting, should the path have been swapped for a FIFO since.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const auto fail = [&](bool closeIt) -> std::FILE* {
        systemError = errno;
        kind = FileKind::Unknown;
        if (closeIt)
            ::close(fd);
        return nullptr;
    };
    if (fd < 0)
        return fail(false);
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return fail(true);
    kind = kindOf(status.st_mode);
    if (kind != FileKind::Regular) {
        ::close(fd);
        return nullptr;
    }
    // Reads of a regular file never wait; the stream is left as fopen makes it.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return fail(true);
    std::FILE* file = ::fdopen(fd, "r");
    return file ? file : fail(true);
}

} // namespace vantrel
