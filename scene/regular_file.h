// Opens only regular files. Opening a FIFO for reading waits until a writer
// comes, and a device may be anything; a file of scene data is neither, so
// anything else is refused before it is opened.
#pragma once

#include <cstdio>

namespace vantrel {

enum class FileKind {
    Unknown,
    Regular,
    Directory,
    Fifo,
    Socket,
    CharacterDevice,
    BlockDevice,
    Other
};

// What path names, without opening it. Unknown when it cannot be looked at
// (missing, no permission on the way); systemError then holds the reason.
FileKind fileKindAt(const char* path, int& systemError);

// "a directory", "a FIFO", ... for messages.
const char* describeFileKind(FileKind kind);

// Opens path for reading ("r") when it is a regular file. Null otherwise:
// kind says what it is instead, or is Unknown with systemError set.
std::FILE* openRegularFile(const char* path, FileKind& kind, int& systemError);

} // namespace vantrel
