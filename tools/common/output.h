// Where the benchmark's results go, checked so that none is lost unnoticed.
#pragma once

#include <string>

namespace vantrel {

// Whether an image can be written at path, learnt before any frame is
// rendered. Neither truncates nor leaves behind a file that was there or not;
// something other than a file (a FIFO, a device) is left to the write. False,
// with the system's reason in error, when it cannot.
bool canCreateOutput(const char* path, std::string& error);

// Flushes and closes standard output. False, with the reason in error, when
// anything written to it was lost (a full disk, a closed pipe).
bool closeStandardOutput(std::string& error);

} // namespace vantrel
