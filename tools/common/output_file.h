// How the tools write their output so that a failed write destroys nothing.
// A regular file (or a name not yet taken) is written to a new temporary
// file beside it, which replaces it only once it has been closed without
// error; on failure only that temporary file is removed. Anything else the
// name may hold (a device, a FIFO) is written in place and never removed.
// The input of a tool may therefore be its output too.
#pragma once

#include <cstdio>
#include <string>

namespace vantrel {

struct OutputFile {
    std::FILE* stream = nullptr;
    std::string target;    // where the output goes (a symbolic link resolved)
    std::string temporary; // the file being written; empty when in place
};

// Opens the output for path. False, with the system's reason in error, when
// it cannot be written (a directory, a missing folder, no permission).
bool openOutput(const char* path, OutputFile& out, std::string& error);

// Closes the stream. When written is true and the close succeeds, the
// temporary file replaces the target and true is returned; otherwise the
// temporary file is removed, the target is left as it was, and error holds
// the reason (errno's, as the failed write left it, when written is false).
bool finishOutput(OutputFile& out, bool written, std::string& error);

// Whether path could be written, found out without touching what it names.
bool canWriteOutput(const char* path, std::string& error);

} // namespace vantrel
