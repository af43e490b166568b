// What every tool's main does around its work: its messages on standard
// error, named by the tool, a lack of memory reported as one line rather
// than an abort, and standard output closed and checked before the exit.
#pragma once

#include <string>

namespace vantrel {

// "TOOL: message" on standard error; gives status, the exit status.
int failWith(const char* tool, const std::string& message, int status);

// "TOOL: warning: message" on standard error.
void warn(const char* tool, const std::string& message);

// Runs run(argc, argv) as the tool's main. Exit status: run's, or 1 where
// memory ran out (said with what the process had left) or where anything
// written to standard output was lost (a full disk, a closed pipe).
// beforeMessage, where given, runs before such a message (to clear a
// progress line, say).
int runToolMain(const char* tool, int (*run)(int argc, char** argv), int argc, char** argv,
                void (*beforeMessage)() = nullptr);

} // namespace vantrel
